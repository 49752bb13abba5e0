"""Measurements that need a fresh process: run as `python probe.py KIND ...`,
prints one JSON object on stdout.

construct MODE CATALOGUE_PATH
    Times the first construction of MODE from the catalogue text and reports the
    page faults and the peak RSS growth it caused (ru_maxrss after, minus ru_maxrss before; the peak
    is reset to the current RSS first, so reading the text does not count), then
    times a second construction from the same str.
idle MODE CATALOGUE_PATH COUNT
    Builds COUNT idle instances and reports RSS, threads and CPU time per
    instance (CPU time over one second of doing nothing).
"""

from __future__ import annotations

import gc
import json
import resource
import sys
import time
from collections.abc import Callable
from typing import Any


def _reset_peak_rss() -> None:
    # Writing 5 resets the peak RSS that ru_maxrss reports to the current RSS.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def _max_rss_kb() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def _status() -> dict[str, int]:
    values = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM", "Threads"):
                values[key] = int(rest.split()[0])
    return values


def _builder(mode: str) -> Callable[[Any], Any]:
    # Imports happen here, before anything is measured.
    if mode == "zarn":
        import zarn

        return zarn.SchemaEngine
    if mode == "json":
        return json.loads
    if mode == "orjson":
        import orjson

        return orjson.loads
    if mode == "graphql-core":
        import graphql_core_peer
        import workloads

        return lambda text: graphql_core_peer.build_schema(workloads.tools_from_catalogue(json.loads(text)))
    raise SystemExit(f"unknown mode {mode}")


def construct(mode: str, path: str) -> dict[str, Any]:
    build = _builder(mode)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    gc.collect()
    gc.disable()
    _reset_peak_rss()
    before = _max_rss_kb()
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    start = time.perf_counter_ns()
    built = build(text)
    elapsed = time.perf_counter_ns() - start
    after = _max_rss_kb()
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
    gc.enable()
    # VmHWM is the same peak without what the process inherited at exec: a
    # cross-check that ru_maxrss measured this process alone.
    report: dict[str, Any] = {
        "ns": elapsed,
        "peak_kb": after - before,
        "hwm_kb": _status()["VmHWM"] - before,
        "page_faults": faults,
    }
    if mode == "zarn":
        report["tool_count"] = built.tool_count()
        report["servers"] = built.execute("{ servers }")
    # Then once more from the same str, on the heap the first build left: what
    # a text that something cached on (its UTF-8 form) costs the next time.
    del built
    gc.disable()
    start = time.perf_counter_ns()
    again = build(text)
    report["again_ns"] = time.perf_counter_ns() - start
    del again
    gc.enable()
    return report


def idle(mode: str, path: str, count: int) -> dict[str, Any]:
    """mode: "zarn" (engines over the catalogue), "zarn-empty" (without one) or
    "graphql-core" (schemas over the catalogue)."""
    build = _builder("zarn" if mode == "zarn-empty" else mode)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    gc.collect()
    first = _status()
    instances = [build(text) if mode != "zarn-empty" else build(None) for _ in range(count)]
    gc.collect()
    time.sleep(0.2)  # let the worker threads settle into their sleep
    second = _status()
    cpu_before = time.process_time()
    time.sleep(1.0)
    cpu = time.process_time() - cpu_before
    del instances
    return {
        "rss_kb": (second["VmRSS"] - first["VmRSS"]) / count,
        "threads": (second["Threads"] - first["Threads"]) / count,
        "idle_cpu_ms_per_s": cpu * 1000 / count,
    }


def main() -> None:
    kind, mode, path, *rest = sys.argv[1:]
    if kind == "construct":
        report = construct(mode, path)
    elif kind == "idle":
        report = idle(mode, path, int(rest[0]))
    else:
        raise SystemExit(f"unknown kind {kind}")
    print(json.dumps(report))


if __name__ == "__main__":
    main()
