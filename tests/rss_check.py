#!/usr/bin/env python3
"""Memory and thread check over many calls: the resident set size must stay
flat over a long run of execute calls (successes, error documents, failed
argument conversions), over calls with megabyte texts, over bridge round
trips, and over many engines created and dropped, which must also leave no
thread behind.

    python tests/rss_check.py         # 1,000,000 calls, 10,000 engines: seconds, not minutes
    python tests/rss_check.py --executes 100000 --engines 1000 --large 200   # a quick look

RSS is sampled from /proc/self/status and threads are counted in
/proc/self/task (Linux only). Growth is measured from a baseline taken after
a warm-up tenth of each phase, so that allocator pools filled once do not
count. Exits 1, naming the phase, when a limit is passed.
"""

import argparse
import contextlib
import json
import os
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

from zarn import SchemaEngine

CATALOGUE = json.dumps(
    [
        {
            "server": "alpha",
            "serverDescription": "First",
            "tools": [
                {"name": "lookup", "description": "Look a thing up"},
                {"name": "store", "annotations": {"readOnlyHint": False}},
            ],
        },
        {"server": "beta", "tools": [{"name": "echo"}]},
    ]
)

# What one execute call may be asked: (query, variables_json).
EXECUTE_MIX: list[tuple[Any, Any]] = [
    ("{ __typename servers search }", None),
    ('{ a: alpha_lookup(q: "x", l: [1, 2.5, $v]) b: beta_echo }', '{"v": {"k": [true, null]}}'),
    ("{ alpha_store(n: -7) { sub { selection } } }", ""),
    ("   ", None),
    ('{ alpha_lookup(q: "\\q") }', None),
    ("{ alpha_lookup nope }", None),
    ("{ alpha_lookup(x: $missing) }", "{}"),
    ("{ __typename }", '{"v": [1, 2'),
    ("{ beta_echo(x: " + "[" * 130 + ") }", None),
    (b"{ __typename }", None),  # TypeError
    ("{ __typename }", "\udc80"),  # UnicodeEncodeError
]


def rss_mib() -> float:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


class Phase:
    """Runs `step(i)` `count` times, sampling RSS twenty times."""

    def __init__(self, name: str, count: int, step: Callable[[int], None]) -> None:
        self.name, self.count, self.step = name, count, step
        self.samples: list[float] = []

    def run(self) -> None:
        every = max(1, self.count // 20)
        start = time.monotonic()
        for i in range(self.count):
            self.step(i)
            if (i + 1) % every == 0:
                self.samples.append(rss_mib())
        self.seconds = time.monotonic() - start

    def growth(self) -> float:
        baseline = self.samples[min(1, len(self.samples) - 1)]  # after the first tenth
        return max(self.samples) - baseline

    def report(self, unit: str) -> str:
        baseline = self.samples[min(1, len(self.samples) - 1)]
        return (
            f"{self.name}: {self.count} {unit} in {self.seconds:.1f}s; RSS {baseline:.1f} MiB after warm-up, "
            f"{self.samples[-1]:.1f} MiB at the end, peak {max(self.samples):.1f} MiB: "
            f"growth {self.growth():+.1f} MiB"
        )


def execute_phase(count: int) -> Phase:
    engine = SchemaEngine(CATALOGUE)

    def step(i: int) -> None:
        query, variables = EXECUTE_MIX[i % len(EXECUTE_MIX)]
        with contextlib.suppress(TypeError, UnicodeEncodeError):
            engine.execute(query, variables)

    return Phase("execute", count, step)


def bridge_phase(count: int) -> tuple[Phase, Callable[[], None]]:
    """Round trips of two tool fields each, answered, failed or given a bad
    reply by a service thread; every 50th ended by a detach instead."""
    engine = SchemaEngine(CATALOGUE)
    engine.attach_call_bridge()
    stop = threading.Event()

    def serve() -> None:
        n = 0
        while not stop.is_set():
            text = engine.receive_tool_call(20)
            if text is None:
                continue
            request_id = json.loads(text)["request_id"]
            n += 1
            if n % 3 == 0:
                engine.fail_tool_call(request_id, "failed")
            elif n % 3 == 1:
                engine.respond_tool_call(request_id, '{"ok": [1, "two"]}')
            else:
                engine.respond_tool_call(request_id, "not json")

    service = threading.Thread(target=serve, daemon=True)
    service.start()

    expected = ('{"ok":[1,"two"]}', '"text":"failed"', '"text":"CallBridge returned invalid JSON: ')

    def step(i: int) -> None:
        if i % 50 == 49:
            engine.detach_call_bridge()
            engine.execute("{ a: beta_echo b: alpha_store }")  # placeholders
            engine.attach_call_bridge()
        else:
            response = engine.execute("{ a: beta_echo(i: 1) b: alpha_store }")
            if not any(value in response for value in expected):
                raise AssertionError(f"not an answered round trip: {response}")

    def finish() -> None:
        stop.set()
        engine.detach_call_bridge()
        service.join(10)

    return Phase("bridge", count, step), finish


def large_texts_phase(count: int) -> Phase:
    """Megabyte texts through execute and construction, on success and
    failure paths: a text kept by mistake shows at once."""
    engine = SchemaEngine(CATALOGUE)
    blob = "x" * (1 << 20)
    calls: list[Callable[[], Any]] = [
        lambda: engine.execute('{ beta_echo(s: "' + blob + '") }'),
        lambda: engine.execute("{ beta_echo(s: $s) }", '{"s": "' + blob + '"}'),
        lambda: engine.execute("{ __typename }", '{"s": "' + blob),
        lambda: engine.execute("#" + blob),
        lambda: SchemaEngine('[{"server": "s", "name": "t", "description": "' + blob + '"}]'),
    ]

    def step(i: int) -> None:
        calls[i % len(calls)]()

    return Phase("large texts", count, step)


def engines_phase(count: int) -> Phase:
    def step(i: int) -> None:
        engine = SchemaEngine(CATALOGUE)
        engine.execute("{ servers beta_echo }")
        del engine

    return Phase("engines", count, step)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--executes", type=int, default=1_000_000, help="execute calls (default 1,000,000)")
    parser.add_argument("--round-trips", type=int, default=None, help="bridge round trips (default executes / 10)")
    parser.add_argument("--large", type=int, default=2000, help="calls with 1 MiB texts (default 2,000)")
    parser.add_argument("--engines", type=int, default=10_000, help="engines created and dropped (default 10,000)")
    parser.add_argument("--max-growth", type=float, default=4.0, help="MiB of RSS growth allowed per phase (default 4)")
    args = parser.parse_args()
    round_trips = args.round_trips if args.round_trips is not None else args.executes // 10

    failures = []
    threads_at_start = thread_count()

    phase = execute_phase(args.executes)
    phase.run()
    print(phase.report("calls"), flush=True)
    if phase.growth() > args.max_growth:
        failures.append(phase.name)

    phase = large_texts_phase(args.large)
    phase.run()
    print(phase.report("calls with 1 MiB texts"), flush=True)
    if phase.growth() > args.max_growth:
        failures.append(phase.name)

    phase, finish = bridge_phase(round_trips)
    phase.run()
    finish()
    del finish  # the last reference to the bridge phase's engine
    print(phase.report("round trips"), flush=True)
    if phase.growth() > args.max_growth:
        failures.append(phase.name)

    del phase
    threads_before = thread_count()
    phase = engines_phase(args.engines)
    phase.run()
    threads_after = thread_count()
    print(phase.report("engines"), flush=True)
    print(
        f"threads: {threads_at_start} at the start, {threads_before} before the engines, {threads_after} after them",
        flush=True,
    )
    if phase.growth() > args.max_growth:
        failures.append(phase.name)
    if not threads_after == threads_before == threads_at_start:
        failures.append("threads")

    if failures:
        print(f"FAILED: {', '.join(failures)} (limit {args.max_growth} MiB)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
