"""zarn against its peers on the same seeded inputs: `python bench/peers.py [--quick]`.

Every workload runs for zarn and its peers; every response is checked against
the expected document (compared as parsed JSON) before it is timed; each figure
is the median over repeats. One table is printed, with a ratio per peer row:
how many times better zarn is (above 1: zarn wins).
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
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager, contextmanager, nullcontext
from dataclasses import dataclass, field
from functools import partial
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import graphql_core_peer as gcp
import orjson
import workloads as wl
from fresh import fresh_copy, per_call_fresh, quiet_gc
from py_bridge import PyBridge, bridge_execute, pinned, run_threads, service_threads

import zarn

ZARN = "zarn"
GQL_CACHED = "graphql-core cached + orjson"
GQL_DEFAULT = "graphql-core graphql_sync + json"
GQL_SYNC_BRIDGE = "graphql-core sync resolvers, Python bridge"
GQL_ASYNC_BRIDGE = "graphql-core async resolvers, Python bridge"
PY_BRIDGE = "pure-Python bridge"
FLOOR_JSON = "floor: json.loads"
FLOOR_ORJSON = "floor: orjson.loads"
FRESH = ", fresh str"  # suffix of a case whose text is a new str on every call
NON_ASCII = ", non-ASCII"  # suffix of a case on the text with non-ASCII prose (workloads.non_ascii)


@dataclass
class Settings:
    repeats: int
    repeat_seconds: float  # the least time one repeat runs for
    process_repeats: int  # fresh processes per construction measurement
    idle_repeats: int  # fresh processes per idle-engine measurement
    threaded_calls: int  # executes per thread per repeat in W9


QUICK = Settings(repeats=5, repeat_seconds=0.02, process_repeats=3, idle_repeats=1, threaded_calls=300)
FULL = Settings(repeats=11, repeat_seconds=0.1, process_repeats=9, idle_repeats=3, threaded_calls=2000)


@dataclass
class Row:
    workload: str
    case: str
    impl: str
    value: float
    unit: str
    higher_is_better: bool = False
    ratio: float | None = None  # zarn's advantage over this row


@dataclass
class Results:
    rows: list[Row] = field(default_factory=list)

    def add(self, workload: str, case: str, impl: str, value: float, unit: str, higher: bool = False) -> None:
        self.rows.append(Row(workload, case, impl, value, unit, higher))
        print(f"  {workload} {case:<28} {impl:<44} {value:>12.3f} {unit}", file=sys.stderr, flush=True)

    def value(self, workload: str, case: str, impl: str = ZARN) -> float:
        for row in self.rows:
            if (row.workload, row.case, row.impl) == (workload, case, impl):
                return row.value
        raise KeyError((workload, case, impl))

    def fill_ratios(self) -> None:
        for row in self.rows:
            if row.impl == ZARN:
                continue
            try:
                ours = self.value(row.workload, row.case)
            except KeyError:
                continue
            if ours > 0 and row.value > 0:
                row.ratio = ours / row.value if row.higher_is_better else row.value / ours


# -- checking -----------------------------------------------------------------


def check(label: str, response: str | bytes, expected: Any) -> None:
    """A response must be the expected document, compared as parsed JSON."""
    got = orjson.loads(response)
    if got != expected:
        shown = response[:300] if isinstance(response, str) else response[:300].decode()
        raise SystemExit(f"{label}: response differs from the expected document: {shown}")


# -- timing -------------------------------------------------------------------


def _timed(fn: Callable[[], Any], number: int) -> float:
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return time.perf_counter() - start


def per_call(fn: Callable[[], Any], settings: Settings) -> float:
    """Median seconds per call over settings.repeats repeats."""
    with quiet_gc():
        number = 1
        while (elapsed := _timed(fn, number)) < settings.repeat_seconds:
            number = max(number * 2, int(number * settings.repeat_seconds / max(elapsed, 1e-9) * 1.1))
        samples = [_timed(fn, number) / number for _ in range(settings.repeats)]
    return statistics.median(samples)


def checked_per_call(label: str, fn: Callable[[], Any], expected: Any, settings: Settings) -> float:
    check(label, fn(), expected)
    return per_call(fn, settings)


def checked_per_call_fresh(label: str, fn: Callable[[str], Any], text: str, expected: Any, settings: Settings) -> float:
    """Seconds per `fn(copy)`, every call given a fresh copy of `text`."""
    if expected is not None:
        check(label, fn(fresh_copy(text)), expected)
    return per_call_fresh(fn, text, settings.repeats, settings.repeat_seconds)


# -- inputs -------------------------------------------------------------------


@dataclass
class Inputs:
    tools: list[wl.Tool]
    catalogue: str
    big_tools: list[wl.Tool]
    big_catalogue: str
    variables: str


def make_inputs() -> Inputs:
    tools, catalogue = wl.make_catalogue(1000, 10)
    big_tools, big_catalogue = wl.make_catalogue(10_000, 100)
    return Inputs(tools, catalogue, big_tools, big_catalogue, wl.large_variables(1_000_000))


def spread(tools: list[wl.Tool], count: int) -> list[wl.Tool]:
    """`count` distinct tools spread over the catalogue."""
    step = len(tools) // count
    return [tools[i * step] for i in range(count)]


def placeholder_case(tools: list[wl.Tool]) -> tuple[str, dict[str, Any]]:
    query = wl.tool_fields_query(tools)
    return query, wl.success({t.field: wl.placeholder(t) for t in tools})


def add_floors(
    results: Results,
    workload: str,
    case: str,
    text: str,
    settings: Settings,
    per: float = 1.0,
    unit: str = "µs",
    scale: float = 1e6,
) -> None:
    results.add(workload, case, FLOOR_JSON, per_call(lambda: json.loads(text), settings) * scale / per, unit)
    results.add(workload, case, FLOOR_ORJSON, per_call(lambda: orjson.loads(text), settings) * scale / per, unit)


# -- workloads ----------------------------------------------------------------


def run_w1_w2_w8(results: Results, inputs: Inputs, settings: Settings) -> None:
    engine = zarn.SchemaEngine(inputs.catalogue)
    schema = gcp.build_schema(inputs.tools)
    cached = gcp.CachedExecutor(schema)

    def compare(workload: str, case: str, query: str, expected: Any, per: int) -> None:
        scale = 1e6 / per
        text = engine.execute(query)
        for impl, fn in (
            (ZARN, lambda: engine.execute(query)),
            (GQL_CACHED, lambda: cached.execute(query)),
            (GQL_DEFAULT, lambda: gcp.default_execute(schema, query)),
        ):
            results.add(
                workload,
                case,
                impl,
                checked_per_call(f"{workload} {impl}", fn, expected, settings) * scale,
                "µs" if per == 1 else "µs/field",
            )
        if per == 1:
            add_floors(results, workload, case, text, settings)
        if workload == "W1":
            return
        for impl, fresh_fn in (
            (ZARN, lambda q: engine.execute(q)),
            (GQL_CACHED, lambda q: cached.execute(q)),
            (GQL_DEFAULT, lambda q: gcp.default_execute(schema, q)),
        ):
            seconds = checked_per_call_fresh(f"{workload} {impl}{FRESH}", fresh_fn, query, expected, settings)
            results.add(workload, case + FRESH, impl, seconds * scale, "µs" if per == 1 else "µs/field")

    compare("W1", "{ __typename }", "{ __typename }", wl.success({"__typename": "Query"}), 1)
    query, expected = placeholder_case(spread(inputs.tools, 8))
    compare("W2", "8 tool fields, detached", query, expected, 1)
    for size in (1, 10, 100, 1000):
        query, expected = placeholder_case(spread(inputs.tools, size))
        compare("W8", f"{size} tool fields", query, expected, size)


def _bridge_peers(tools: list[wl.Tool]) -> tuple[PyBridge, gcp.CachedExecutor, gcp.CachedExecutor]:
    bridge = PyBridge()
    sync = gcp.CachedExecutor(gcp.build_schema(tools, "sync", bridge))
    asynchronous = gcp.CachedExecutor(gcp.build_schema(tools, "async", bridge))
    return bridge, sync, asynchronous


def _calls(tools: list[wl.Tool]) -> list[tuple[str, str, str, dict[str, Any], str]]:
    return [(t.field, t.server, t.tool, wl.small_arguments(i), wl.operation(t)) for i, t in enumerate(tools)]


def run_w3(results: Results, inputs: Inputs, settings: Settings) -> None:
    selected = spread(inputs.tools, 1)
    query = wl.tool_fields_query(selected)
    expected = wl.success({selected[0].field: wl.REPLY})
    calls = _calls(selected)
    bridge, sync, asynchronous = _bridge_peers(inputs.tools)
    for case, main_cpu, service_cpu in (("different cores", 0, 1), ("one core", 0, 0), ("unpinned", None, None)):
        with pinned(main_cpu):
            # Built while pinned, so the engine's own workers share the main thread's core.
            engine = zarn.SchemaEngine(inputs.catalogue)
            engine.attach_call_bridge()
            with service_threads(engine, wl.REPLY_TEXT, 1, [service_cpu]):
                results.add(
                    "W3",
                    case,
                    ZARN,
                    checked_per_call("W3 zarn", partial(engine.execute, query), expected, settings) * 1e6,
                    "µs",
                )
            engine.detach_call_bridge()
            runner = gcp.AsyncRunner(asynchronous)
            with service_threads(bridge, wl.REPLY_TEXT, 1, [service_cpu]):
                for impl, fn in (
                    (PY_BRIDGE, lambda: bridge_execute(bridge, calls)),
                    (GQL_SYNC_BRIDGE, lambda: sync.execute(query)),
                    (GQL_ASYNC_BRIDGE, partial(runner.execute, query)),
                ):
                    results.add("W3", case, impl, checked_per_call(f"W3 {impl}", fn, expected, settings) * 1e6, "µs")
            runner.close()


def run_w4(results: Results, inputs: Inputs, settings: Settings) -> None:
    query = wl.tool_fields_query(inputs.tools)
    expected = wl.success({t.field: wl.REPLY for t in inputs.tools})
    calls = _calls(inputs.tools)
    case = "1000 tool fields, 2 services"
    engine = zarn.SchemaEngine(inputs.catalogue)
    engine.attach_call_bridge()
    with service_threads(engine, wl.REPLY_TEXT, 2):
        results.add(
            "W4", case, ZARN, checked_per_call("W4 zarn", lambda: engine.execute(query), expected, settings) * 1e3, "ms"
        )
    engine.detach_call_bridge()
    bridge, sync, asynchronous = _bridge_peers(inputs.tools)
    runner = gcp.AsyncRunner(asynchronous)
    with service_threads(bridge, wl.REPLY_TEXT, 2):
        for impl, fn in (
            (PY_BRIDGE, lambda: bridge_execute(bridge, calls)),
            (GQL_ASYNC_BRIDGE, lambda: runner.execute(query)),
            (GQL_SYNC_BRIDGE, lambda: sync.execute(query)),
        ):
            results.add("W4", case, impl, checked_per_call(f"W4 {impl}", fn, expected, settings) * 1e3, "ms")
    runner.close()


def _probe(args: list[str]) -> dict[str, Any]:
    env = dict(os.environ, PYTHONPATH=str(HERE) + os.pathsep + os.environ.get("PYTHONPATH", ""))
    # Through a shell that forks: a process started straight from this one would
    # inherit this process's peak RSS into its own ru_maxrss when it execs.
    command = ["/bin/sh", "-c", '"$@"; exit $?', "sh", sys.executable, str(HERE / "probe.py"), *args]
    out = subprocess.run(command, check=True, capture_output=True, text=True, env=env)
    return json.loads(out.stdout)


def run_w5(results: Results, inputs: Inputs, settings: Settings, paths: list[tuple[str, str]]) -> None:
    """`paths`: (case suffix, catalogue file) pairs, the catalogue's tools being
    those of inputs.big_tools."""
    expected_servers = wl.success({"servers": wl.server_summaries(inputs.big_tools)})
    for suffix, path in paths:
        megabytes = Path(path).stat().st_size / 1e6
        time_case = f"construct, {megabytes:.1f} MB catalogue{suffix}"
        again_case = f"construct again from the same str{suffix}"
        memory_case = f"construct, peak RSS growth{suffix}"
        for impl, mode in (
            (ZARN, "zarn"),
            ("json.loads", "json"),
            ("orjson.loads", "orjson"),
            ("graphql-core: json.loads + schema", "graphql-core"),
        ):
            reports = [_probe(["construct", mode, path]) for _ in range(settings.process_repeats)]
            if mode == "zarn":
                for report in reports:
                    if report["tool_count"] != len(inputs.big_tools):
                        raise SystemExit(f"W5 zarn: {report['tool_count']} tools, expected {len(inputs.big_tools)}")
                    check("W5 zarn", report["servers"], expected_servers)
            for report in reports:
                if abs(report["peak_kb"] - report["hwm_kb"]) > 0.1 * max(report["hwm_kb"], 1024):
                    print(
                        f"  W5 {impl}: ru_maxrss growth {report['peak_kb']} KB but VmHWM growth {report['hwm_kb']} KB",
                        file=sys.stderr,
                    )
            results.add("W5", time_case, impl, statistics.median(r["ns"] for r in reports) / 1e6, "ms")
            results.add("W5", again_case, impl, statistics.median(r["again_ns"] for r in reports) / 1e6, "ms")
            results.add("W5", memory_case, impl, statistics.median(r["peak_kb"] for r in reports) / 1024, "MB")


def run_w6(results: Results, inputs: Inputs, settings: Settings) -> None:
    engine = zarn.SchemaEngine(inputs.big_catalogue)
    schema = gcp.build_schema(inputs.big_tools)
    cached = gcp.CachedExecutor(schema)
    query = "{ servers search }"
    expected = wl.success(
        {"servers": wl.server_summaries(inputs.big_tools), "search": wl.search_hits(inputs.big_tools)}
    )
    case = "{ servers search }, 10k tools"
    for impl, fn in (
        (ZARN, lambda: engine.execute(query)),
        (GQL_CACHED, lambda: cached.execute(query)),
        (GQL_DEFAULT, lambda: gcp.default_execute(schema, query)),
    ):
        results.add("W6", case, impl, checked_per_call(f"W6 {impl}", fn, expected, settings) * 1e3, "ms")
    add_floors(results, "W6", case, engine.execute(query), settings, unit="ms", scale=1e3)


def run_w7(results: Results, inputs: Inputs, settings: Settings) -> None:
    tool = inputs.tools[0]
    query = wl.LARGE_VARIABLES_QUERY_TEMPLATE.format(field=tool.field)
    expected = wl.success({tool.field: wl.placeholder(tool)})
    engine = zarn.SchemaEngine(inputs.catalogue)
    schema = gcp.build_schema(inputs.tools)
    cached = gcp.CachedExecutor(schema)
    impls: list[tuple[str, Callable[[str], Any]]] = [
        (ZARN, lambda v: engine.execute(query, v)),
        (GQL_CACHED, lambda v: cached.execute(query, v)),
        (GQL_DEFAULT, lambda v: gcp.default_execute(schema, query, v)),
        (FLOOR_JSON, json.loads),
        (FLOOR_ORJSON, orjson.loads),
    ]
    for variables, suffix in ((inputs.variables, ""), (wl.non_ascii(inputs.variables), NON_ASCII)):
        megabytes = len(variables.encode()) / 1e6
        case = f"{megabytes:.1f} MB variables{suffix}"
        for impl, fn in impls:
            if not impl.startswith("floor"):
                check(f"W7 {impl}", fn(variables), expected)
            results.add("W7", case, impl, megabytes / per_call(partial(fn, variables), settings), "MB/s", higher=True)
        for impl, fn in impls:
            wanted = None if impl.startswith("floor") else expected
            seconds = checked_per_call_fresh(f"W7 {impl}{FRESH}", fn, variables, wanted, settings)
            results.add("W7", case + FRESH, impl, megabytes / seconds, "MB/s", higher=True)


def run_w9(results: Results, inputs: Inputs, settings: Settings) -> None:
    selected = spread(inputs.tools, 1)
    query = wl.tool_fields_query(selected)
    expected = wl.success({selected[0].field: wl.REPLY})
    calls = _calls(selected)
    case = "4 executing, 2 service threads"
    executors, n = 4, settings.threaded_calls

    # A session gives one thread its execute function for the length of a block.
    Session = Callable[[], AbstractContextManager[Callable[[], Any]]]

    def rate(label: str, session: Session) -> float:
        with session() as fn:
            check(label, fn(), expected)

        def work() -> None:
            with session() as fn:
                for _ in range(n):
                    fn()

        samples = []
        with quiet_gc():
            for _ in range(max(3, settings.repeats // 2)):
                start = time.perf_counter()
                run_threads(work, executors)
                samples.append(executors * n / (time.perf_counter() - start))
        return statistics.median(samples)

    engine = zarn.SchemaEngine(inputs.catalogue)
    engine.attach_call_bridge()
    with service_threads(engine, wl.REPLY_TEXT, 2):
        results.add(
            "W9", case, ZARN, rate("W9 zarn", lambda: nullcontext(lambda: engine.execute(query))), "executes/s", True
        )
    engine.detach_call_bridge()
    bridge, sync, asynchronous = _bridge_peers(inputs.tools)

    @contextmanager
    def async_session() -> Iterator[Callable[[], Any]]:
        runner = gcp.AsyncRunner(asynchronous)  # an event loop of the thread's own
        try:
            yield lambda: runner.execute(query)
        finally:
            runner.close()

    with service_threads(bridge, wl.REPLY_TEXT, 2):
        for impl, session in (
            (PY_BRIDGE, lambda: nullcontext(lambda: bridge_execute(bridge, calls))),
            (GQL_SYNC_BRIDGE, lambda: nullcontext(lambda: sync.execute(query))),
            (GQL_ASYNC_BRIDGE, async_session),
        ):
            results.add("W9", case, impl, rate(f"W9 {impl}", session), "executes/s", True)


def run_w10(results: Results, settings: Settings, path: str) -> None:
    for impl, mode, case in (
        (ZARN, "zarn-empty", "idle, empty catalogue"),
        (ZARN, "zarn", "idle, 1000 tools"),
        ("graphql-core schema", "graphql-core", "idle, 1000 tools"),
    ):
        reports = [_probe(["idle", mode, path, "8"]) for _ in range(settings.idle_repeats)]
        for key, suffix, unit, scale in (
            ("rss_kb", "RSS", "MB", 1 / 1024),
            ("threads", "threads", "threads", 1),
            ("idle_cpu_ms_per_s", "idle CPU", "ms/s", 1),
        ):
            results.add("W10", f"{case}: {suffix}", impl, statistics.median(r[key] for r in reports) * scale, unit)


# -- targets and the table ----------------------------------------------------


def targets(results: Results) -> list[tuple[str, str, bool]]:
    v = results.value
    out: list[tuple[str, str, bool]] = []

    def target(workload: str, text: str, met: bool) -> None:
        out.append((workload, text, met))

    def faster(workload: str, case: str, peer: str, factor: float) -> None:
        ratio = v(workload, case, peer) / v(workload, case)
        target(workload, f"{case}: ≥ {factor:g}× better than {peer} (is {ratio:.1f}×)", ratio >= factor)

    def at_most(workload: str, case: str, limit: float, unit: str) -> None:
        target(workload, f"{case}: ≤ {limit:g} {unit} (is {v(workload, case):.3g})", v(workload, case) <= limit)

    at_most("W1", "{ __typename }", 0.4, "µs")
    faster("W1", "{ __typename }", GQL_CACHED, 6)
    at_most("W2", "8 tool fields, detached", 2, "µs")
    faster("W2", "8 tool fields, detached", GQL_CACHED, 10)
    at_most("W3", "different cores", 70, "µs")
    at_most("W3", "one core", 8, "µs")
    faster("W3", "different cores", PY_BRIDGE, 1.5)
    faster("W3", "one core", PY_BRIDGE, 2.5)
    case4 = "1000 tool fields, 2 services"
    at_most("W4", case4, 6, "ms")
    faster("W4", case4, PY_BRIDGE, 2)
    time_case = next(
        r.case for r in results.rows if r.workload == "W5" and r.case.startswith("construct, ") and r.unit == "ms"
    )
    memory_case = "construct, peak RSS growth"
    at_most("W5", time_case, 12, "ms")
    at_most("W5", memory_case, 20, "MB")
    loads = v("W5", time_case, "json.loads")
    target(
        "W5",
        f"≤ a third of json.loads time (is {v('W5', time_case) / loads:.2f} of it)",
        v("W5", time_case) <= loads / 3,
    )
    target("W5", "lower peak memory than json.loads", v("W5", memory_case) < v("W5", memory_case, "json.loads"))
    case6 = "{ servers search }, 10k tools"
    at_most("W6", case6, 2.5, "ms")
    faster("W6", case6, GQL_CACHED, 2)
    case7 = next(r.case for r in results.rows if r.workload == "W7")
    target("W7", f"≥ 500 MB/s (is {v('W7', case7):.0f})", v("W7", case7) >= 500)
    ratio7 = v("W7", case7) / v("W7", case7, GQL_CACHED)
    target("W7", f"≥ 2× {GQL_CACHED} (is {ratio7:.1f}×)", ratio7 >= 2)
    for size in (1, 10, 100, 1000):
        case = f"{size} tool fields"
        at_most("W8", case, 0.3, "µs/field")
        faster("W8", case, GQL_CACHED, 10)
    # Fresh text: the first build in a fresh process, and a new str per execute.
    for case in (r.case for r in results.rows if r.workload == "W5" and r.unit == "ms" and r.impl == ZARN):
        if case.startswith("construct, "):
            faster("W5", case, "json.loads", 4)
    for case in (r.case for r in results.rows if r.workload == "W7" and r.impl == ZARN):
        if not case.endswith(FRESH):
            ratio = v("W7", case + FRESH) / v("W7", case + FRESH, GQL_CACHED)
            target("W7", f"{case}{FRESH}: ≥ 3× {GQL_CACHED} (is {ratio:.1f}×)", ratio >= 3)
            share = v("W7", case + FRESH) / v("W7", case)
            target("W7", f"{case}{FRESH}: ≥ 90 % of the reused str's throughput (is {share:.0%})", share >= 0.9)
    case9 = "4 executing, 2 service threads"
    target("W9", f"≥ 40,000 executes/s (is {v('W9', case9):,.0f})", v("W9", case9) >= 40_000)
    ratio9 = v("W9", case9) / v("W9", case9, PY_BRIDGE)
    target("W9", f"≥ 2× {PY_BRIDGE} (is {ratio9:.1f}×)", ratio9 >= 2)
    return out


def print_table(results: Results) -> None:
    print("| id | case | implementation | value | unit | zarn × |")
    print("|---|---|---|---:|---|---:|")
    for row in results.rows:
        ratio = f"{row.ratio:.1f}" if row.ratio is not None else ""
        print(f"| {row.workload} | {row.case} | {row.impl} | {row.value:,.3f} | {row.unit} | {ratio} |")


WORKLOADS = ["W1", "W2", "W3", "W4", "W5", "W6", "W7", "W8", "W9", "W10"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter repeats (under a minute)")
    parser.add_argument("--only", help="comma-separated workload ids, e.g. W1,W3")
    parser.add_argument("--json", help="also write the rows to this file")
    options = parser.parse_args()
    settings = QUICK if options.quick else FULL
    chosen = set(options.only.split(",")) if options.only else set(WORKLOADS)
    inputs = make_inputs()
    results = Results()
    started = time.perf_counter()
    with tempfile.TemporaryDirectory() as scratch:
        big_path = os.path.join(scratch, "catalogue-10k.json")
        path = os.path.join(scratch, "catalogue-1k.json")
        big_non_ascii_path = os.path.join(scratch, "catalogue-10k-non-ascii.json")
        Path(big_path).write_text(inputs.big_catalogue, encoding="utf-8")
        Path(big_non_ascii_path).write_text(wl.non_ascii(inputs.big_catalogue), encoding="utf-8")
        Path(path).write_text(inputs.catalogue, encoding="utf-8")
        if chosen & {"W1", "W2", "W8"}:
            run_w1_w2_w8(results, inputs, settings)
        if "W3" in chosen:
            run_w3(results, inputs, settings)
        if "W4" in chosen:
            run_w4(results, inputs, settings)
        if "W5" in chosen:
            run_w5(results, inputs, settings, [("", big_path), (NON_ASCII, big_non_ascii_path)])
        if "W6" in chosen:
            run_w6(results, inputs, settings)
        if "W7" in chosen:
            run_w7(results, inputs, settings)
        if "W9" in chosen:
            run_w9(results, inputs, settings)
        if "W10" in chosen:
            run_w10(results, settings, path)
    results.rows = [r for r in results.rows if r.workload in chosen]
    results.rows.sort(key=lambda r: WORKLOADS.index(r.workload))
    results.fill_ratios()
    print_table(results)
    if chosen == set(WORKLOADS):
        print()
        for workload, text, met in targets(results):
            print(f"- {workload} {'met' if met else 'MISSED'}: {text}")
    print(f"\n({time.perf_counter() - started:.0f} s, {'quick' if options.quick else 'full'} run)", file=sys.stderr)
    if options.json:
        Path(options.json).write_text(json.dumps([r.__dict__ for r in results.rows], indent=1), encoding="utf-8")


if __name__ == "__main__":
    main()
