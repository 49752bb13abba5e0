"""The fresh-text targets as ratios taken side by side, for a shared machine
whose speed moves within a run: `python bench/fresh_ratios.py [--rounds N]`.

Each round times the contenders back to back on the same input, so a ratio
compares figures taken within moments of each other; the rounds give its
median and its spread (lowest and highest), and the fastest figure of each
contender gives the ratio "at best", the one least disturbed by the load.

- W7: a fresh str per execute for zarn and graphql-core + orjson, and zarn on
  one reused str, a few calls of each in turn; per round, the ratios of the
  median calls: zarn fresh / graphql-core fresh, zarn fresh / zarn reused
  (throughput).
- W5: the first build in a fresh process, zarn and json.loads in turn, one
  process each (bench/probe.py); ratio: json.loads time / zarn time.

Both on the plain and on the non-ASCII texts of workloads.py.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import graphql_core_peer as gcp  # noqa: E402
import workloads as wl  # noqa: E402
from fresh import quiet_gc  # noqa: E402

import zarn  # noqa: E402


def timed(call: Callable[[str], Any], text: str) -> float:
    start = time.perf_counter()
    call(text)
    return time.perf_counter() - start


def spread(values: list[float]) -> str:
    return f"{statistics.median(values):.2f} ({min(values):.2f} to {max(values):.2f})"


def w7(rounds: int, calls: int) -> None:
    tools, catalogue = wl.make_catalogue(1000, 10)
    query = wl.LARGE_VARIABLES_QUERY_TEMPLATE.format(field=tools[0].field)
    engine = zarn.SchemaEngine(catalogue)
    cached = gcp.CachedExecutor(gcp.build_schema(tools))
    for label, variables in (
        ("plain", wl.large_variables(1_000_000)),
        ("non-ASCII", wl.non_ascii(wl.large_variables(1_000_000))),
    ):
        raw = variables.encode("utf-8")
        zarn_call = lambda v: engine.execute(query, v)  # noqa: E731
        peer_call = lambda v: cached.execute(query, v)  # noqa: E731
        zarn_call(variables), peer_call(variables)  # warm both, and their caches of the query
        against_peer, against_reused = [], []
        best = {"ours": float("inf"), "peer": float("inf"), "reused": float("inf")}
        for _ in range(rounds):
            # A few calls of each in turn, so that the machine's mood weighs on
            # all three alike, while the reused str stays as warm in the
            # caches as a reused str is; each fresh text is decoded just
            # before its call.
            with quiet_gc():
                ours = [timed(zarn_call, raw.decode("utf-8")) for _ in range(calls)]
                peer = [timed(peer_call, raw.decode("utf-8")) for _ in range(calls)]
                reused = [timed(zarn_call, variables) for _ in range(calls)]
            against_peer.append(statistics.median(peer) / statistics.median(ours))
            against_reused.append(statistics.median(reused) / statistics.median(ours))
            for key, times in (("ours", ours), ("peer", peer), ("reused", reused)):
                best[key] = min(best[key], *times)
        mb = len(raw) / 1e6
        print(
            f"W7 {label}: zarn fresh {mb / best['ours']:.0f} MB/s at best; "
            f"zarn fresh / graphql-core + orjson fresh {spread(against_peer)}, at best {best['peer'] / best['ours']:.2f}; "
            f"zarn fresh / zarn reused {spread(against_reused)}, at best {best['reused'] / best['ours']:.2f}",
            flush=True,
        )


def probe(mode: str, path: str) -> float:
    env = dict(os.environ, PYTHONPATH=str(HERE) + os.pathsep + os.environ.get("PYTHONPATH", ""))
    command = ["/bin/sh", "-c", '"$@"; exit $?', "sh", sys.executable, str(HERE / "probe.py"), "construct", mode, path]
    out = subprocess.run(command, check=True, capture_output=True, text=True, env=env)
    return float(json.loads(out.stdout)["ns"])


def w5(rounds: int) -> None:
    text = wl.make_catalogue(10_000, 100)[1]
    with tempfile.TemporaryDirectory() as scratch:
        for label, catalogue in (("plain", text), ("non-ASCII", wl.non_ascii(text))):
            path = os.path.join(scratch, "catalogue.json")
            Path(path).write_text(catalogue, encoding="utf-8")
            ratios, ours, loads = [], [], []
            for _ in range(rounds):
                ours.append(probe("zarn", path) / 1e6)
                loads.append(probe("json", path) / 1e6)
                ratios.append(loads[-1] / ours[-1])
            print(
                f"W5 {label}: zarn first build {spread(ours)} ms; json.loads / zarn {spread(ratios)}, "
                f"at best {min(loads) / min(ours):.2f}",
                flush=True,
            )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--calls", type=int, default=5, help="W7 executes per contender per round")
    parser.add_argument("--only", choices=["W5", "W7"])
    options = parser.parse_args()
    if options.only != "W5":
        w7(options.rounds, options.calls)
    if options.only != "W7":
        w5(options.rounds)


if __name__ == "__main__":
    main()
