"""The benchmark's own parts: if the model of the catalogue, the peers or the
measurement probes were wrong, every figure in the table would be too.

Run with `python -m pytest bench/test_bench_helpers.py`.
"""

from __future__ import annotations

import json
import os
import threading
from typing import Any

import fresh
import graphql_core_peer as gcp
import orjson
import peers
import pytest
import workloads as wl
from callgrind_summary import short_name
from py_bridge import PyBridge, bridge_execute, run_threads, service_threads

import zarn


@pytest.fixture(scope="module")
def catalogue() -> tuple[list[wl.Tool], str]:
    return wl.make_catalogue(60, 4, seed=7)


@pytest.mark.parametrize(
    ("text", "field"),
    [
        ("write-file", "write_file"),
        ("list pull request", "list_pull_request"),
        ("3d", "_3d"),
        ("", "_"),
        ("é", "_"),
        ("a_b9", "a_b9"),
    ],
)
def test_sanitize_graphql_name(text: str, field: str) -> None:
    assert wl.sanitize_graphql_name(text) == field


def test_the_model_of_the_catalogue_is_what_the_engine_reads(catalogue: tuple[list[wl.Tool], str]) -> None:
    tools, text = catalogue
    assert wl.tools_from_catalogue(json.loads(text)) == tools
    assert len({t.field for t in tools}) == len(tools)  # every tool can be selected
    engine = zarn.SchemaEngine(text)
    assert json.loads(engine.execute("{ servers search }")) == wl.success(
        {"servers": wl.server_summaries(tools), "search": wl.search_hits(tools)}
    )
    assert any(not t.read_only for t in tools) and any(t.server_description is None for t in tools)


def test_catalogue_sizes() -> None:
    tools, text = wl.make_catalogue(10_000, 100)
    assert len(tools) == 10_000 and len({t.server for t in tools}) == 100
    assert 4.0e6 < len(text.encode()) < 4.8e6
    assert wl.make_catalogue(10_000, 100)[1] == text  # seeded


def test_server_summaries_order_and_description() -> None:
    tools = [
        wl.Tool("a", None, "x", "", True),
        wl.Tool("B", "b desc", "y", "", False),
        wl.Tool("a", "Second", "z", "", False),
        wl.Tool("a", "Third", "w", "", True),
    ]
    assert wl.server_summaries(tools) == [
        {"description": "b desc", "name": "B", "readOnlyCount": 0, "toolCount": 1},
        {"description": "Second", "name": "a", "readOnlyCount": 2, "toolCount": 3},
    ]


def test_large_variables_size_and_shape() -> None:
    text = wl.large_variables(200_000)
    document = json.loads(text)
    assert 200_000 <= len(text.encode()) < 210_000
    assert document["payload"]["count"] == len(document["payload"]["records"])


def test_non_ascii_changes_only_prose(catalogue: tuple[list[wl.Tool], str]) -> None:
    tools, text = catalogue
    changed = wl.non_ascii(text)
    assert max(map(ord, changed)) > 0xFF and max(map(ord, changed)) <= 0xFFFF  # stored as UCS-2
    read = wl.tools_from_catalogue(json.loads(changed))
    assert [(t.server, t.server_description, t.tool, t.read_only) for t in read] == [
        (t.server, t.server_description, t.tool, t.read_only) for t in tools
    ]
    assert sum(a.description != b.description for a, b in zip(read, tools, strict=True)) > len(tools) // 2
    variables = wl.large_variables(50_000)
    assert json.loads(wl.non_ascii(variables)).keys() == json.loads(variables).keys()


def test_every_call_gets_a_new_str() -> None:
    seen: list[str] = []
    text = "{ __typename } é"
    fresh.per_call_fresh(seen.append, text, repeats=2, repeat_seconds=0.001)
    assert len(seen) > 4 and all(s == text for s in seen)
    assert len({id(s) for s in seen}) == len(seen)  # kept alive by `seen`, so ids are distinct objects


@pytest.mark.parametrize("size", [1, 8])
def test_every_engine_answers_the_detached_query_alike(catalogue: tuple[list[wl.Tool], str], size: int) -> None:
    tools, text = catalogue
    query, expected = peers.placeholder_case(peers.spread(tools, size))
    schema = gcp.build_schema(tools)
    for response in (
        zarn.SchemaEngine(text).execute(query),
        gcp.CachedExecutor(schema).execute(query),
        gcp.default_execute(schema, query),
    ):
        assert orjson.loads(response) == expected


def test_cached_executor_keeps_documents_and_rejects_invalid_queries(catalogue: tuple[list[wl.Tool], str]) -> None:
    executor = gcp.CachedExecutor(gcp.build_schema(catalogue[0]))
    assert executor.document("{ __typename }") is executor.document("{ __typename }")
    with pytest.raises(ValueError, match="invalid benchmark query"):
        executor.document("{ nope }")


def test_py_bridge_request_text_ids_and_answers() -> None:
    bridge = PyBridge()
    first = bridge.start_call("files", "search", {"query": "q"}, "query")
    bridge.start_call("files", "write", {}, "mutation")
    assert bridge.receive_tool_call(0) == (
        '{"request_id":"tool-call-1","server":"files","tool":"search","arguments":{"query":"q"},"operation":"query"}'
    )
    assert json.loads(bridge.receive_tool_call(0) or "")["request_id"] == "tool-call-2"
    assert bridge.receive_tool_call(0) is None
    assert bridge.respond_tool_call("tool-call-1", "42") is True
    assert bridge.respond_tool_call("tool-call-1", "43") is False
    assert bridge.respond_tool_call("tool-call-9", "0") is False
    assert first.result(0) == "42" and bridge.pending_count() == 1


@pytest.mark.parametrize("services", [1, 2])
def test_bridges_round_trip_through_the_service_loop(catalogue: tuple[list[wl.Tool], str], services: int) -> None:
    tools, text = catalogue
    selected = peers.spread(tools, 5)
    query = wl.tool_fields_query(selected)
    expected = wl.success({t.field: wl.REPLY for t in selected})
    bridge, sync, asynchronous = peers._bridge_peers(tools)
    runner = gcp.AsyncRunner(asynchronous)
    with service_threads(bridge, wl.REPLY_TEXT, services):
        for response in (bridge_execute(bridge, peers._calls(selected)), sync.execute(query), runner.execute(query)):
            assert orjson.loads(response) == expected
    runner.close()
    assert bridge.pending_count() == 0
    engine = zarn.SchemaEngine(text)
    engine.attach_call_bridge()
    with service_threads(engine, wl.REPLY_TEXT, services):
        assert orjson.loads(engine.execute(query)) == expected
    engine.detach_call_bridge()
    assert not [t for t in threading.enumerate() if t.name.startswith("tool-service")]  # all joined


def test_requests_carry_the_query_arguments(catalogue: tuple[list[wl.Tool], str]) -> None:
    tools, text = catalogue
    engine = zarn.SchemaEngine(text)
    engine.attach_call_bridge()
    selected = peers.spread(tools, 3)
    done: list[str] = []
    worker = threading.Thread(target=lambda: done.append(engine.execute(wl.tool_fields_query(selected))))
    worker.start()
    requests: list[dict[str, Any]] = []
    while len(requests) < 3:
        text_ = engine.receive_tool_call(5000)
        assert text_ is not None
        requests.append(json.loads(text_))
    for request in requests:
        engine.respond_tool_call(request["request_id"], "null")
    worker.join()
    engine.detach_call_bridge()
    assert [r["arguments"] for r in requests] == [wl.small_arguments(i) for i in range(3)]
    assert [r["operation"] for r in requests] == [wl.operation(t) for t in selected]


def test_check_rejects_a_different_document() -> None:
    peers.check("same", b'{"b":1,"a":[1.5]}', {"a": [1.5], "b": 1})
    with pytest.raises(SystemExit, match="W0 x: response differs"):
        peers.check("W0 x", '{"a":1}', {"a": 2})


def test_ratios_say_how_many_times_better_zarn_is() -> None:
    results = peers.Results()
    results.rows = [
        peers.Row("W1", "c", peers.ZARN, 2.0, "µs"),
        peers.Row("W1", "c", "peer", 6.0, "µs"),
        peers.Row("W7", "c", peers.ZARN, 500.0, "MB/s", True),
        peers.Row("W7", "c", "peer", 250.0, "MB/s", True),
        peers.Row("W9", "c", "peer without zarn row", 1.0, "x"),
    ]
    results.fill_ratios()
    assert [row.ratio for row in results.rows] == [None, 3.0, None, 2.0, None]


def test_construction_probe_measures_this_process_only(tmp_path) -> None:  # type: ignore[no-untyped-def]
    # A child started straight from a process with a large heap inherits that
    # peak into ru_maxrss; the probe's figures must not show it.
    ballast = bytearray(64 << 20)
    ballast[::4096] = b"x" * len(ballast[::4096])
    path = tmp_path / "catalogue.json"
    path.write_text(wl.make_catalogue(2000, 20)[1], encoding="utf-8")
    report = peers._probe(["construct", "json", str(path)])
    assert report["peak_kb"] > 1024
    assert abs(report["peak_kb"] - report["hwm_kb"]) < 0.2 * report["hwm_kb"]
    del ballast


@pytest.mark.parametrize(
    ("entry", "name"),
    [
        (
            "???:zarn::json::(anonymous namespace)::Reader::parse_string(std::basic_string_view<char>) [/b/x]",
            "zarn::json::(anon)::Reader::parse_string",
        ),
        (
            "???:zarn::catalogue::Catalogue::find_field(std::basic_string_view<char>) const [/b/x]",
            "zarn::catalogue::Catalogue::find_field",
        ),
        (
            "???:zarn::execution::execute_json[abi:cxx11](zarn::execution::EngineState const&) [/b/x]",
            "zarn::execution::execute_json",
        ),
        ("./malloc/./malloc/malloc.c:free [/usr/lib/libc.so.6]", "free"),
        ("???:std::vector<std::pair<int, int>, std::allocator<int> >::~vector() [/b/x]", "std::vector::~vector"),
    ],
)
def test_callgrind_names_are_shortened(entry: str, name: str) -> None:
    assert short_name(entry) == name


def _results_with(values: dict[tuple[str, str, str], float]) -> peers.Results:
    """Every row that targets() reads, at 1.0 unless given."""
    results = peers.Results()
    rows = {
        ("W1", "{ __typename }"): "µs",
        ("W2", "8 tool fields, detached"): "µs",
        ("W3", "different cores"): "µs",
        ("W3", "one core"): "µs",
        ("W4", "1000 tool fields, 2 services"): "ms",
        ("W5", "construct, 4.5 MB catalogue"): "ms",
        ("W5", "construct, peak RSS growth"): "MB",
        ("W6", "{ servers search }, 10k tools"): "ms",
        ("W5", "construct again from the same str"): "ms",
        ("W5", "construct, 4.6 MB catalogue, non-ASCII"): "ms",
        ("W7", "1.0 MB variables"): "MB/s",
        ("W7", "1.0 MB variables, fresh str"): "MB/s",
        ("W8", "1 tool fields"): "µs/field",
        ("W8", "10 tool fields"): "µs/field",
        ("W8", "100 tool fields"): "µs/field",
        ("W8", "1000 tool fields"): "µs/field",
        ("W9", "4 executing, 2 service threads"): "executes/s",
    }
    for (workload, case), unit in rows.items():
        for impl in (peers.ZARN, peers.GQL_CACHED, peers.PY_BRIDGE, "json.loads"):
            value = values.get((workload, case, impl), 1.0)
            results.rows.append(peers.Row(workload, case, impl, value, unit, unit in ("MB/s", "executes/s")))
    return results


@pytest.mark.parametrize(
    ("values", "workload", "text", "met"),
    [
        (
            {("W1", "{ __typename }", peers.ZARN): 0.3, ("W1", "{ __typename }", peers.GQL_CACHED): 1.8},
            "W1",
            "≤ 0.4 µs",
            True,
        ),
        (
            {("W1", "{ __typename }", peers.ZARN): 0.3, ("W1", "{ __typename }", peers.GQL_CACHED): 1.7},
            "W1",
            "≥ 6×",
            False,
        ),
        # throughput: zarn must be the larger figure
        (
            {("W7", "1.0 MB variables", peers.ZARN): 600, ("W7", "1.0 MB variables", peers.GQL_CACHED): 300},
            "W7",
            "≥ 2×",
            True,
        ),
        (
            {("W7", "1.0 MB variables", peers.ZARN): 300, ("W7", "1.0 MB variables", peers.GQL_CACHED): 600},
            "W7",
            "≥ 2×",
            False,
        ),
        (
            {
                ("W9", "4 executing, 2 service threads", peers.ZARN): 50_000,
                ("W9", "4 executing, 2 service threads", peers.PY_BRIDGE): 20_000,
            },
            "W9",
            "≥ 2×",
            True,
        ),
        (
            {
                ("W5", "construct, 4.5 MB catalogue", peers.ZARN): 7,
                ("W5", "construct, 4.5 MB catalogue", "json.loads"): 21,
            },
            "W5",
            "a third",
            True,
        ),
        (
            {
                ("W5", "construct, 4.5 MB catalogue", peers.ZARN): 8,
                ("W5", "construct, 4.5 MB catalogue", "json.loads"): 21,
            },
            "W5",
            "a third",
            False,
        ),
        (
            {
                ("W5", "construct, 4.6 MB catalogue, non-ASCII", peers.ZARN): 5,
                ("W5", "construct, 4.6 MB catalogue, non-ASCII", "json.loads"): 19,
            },
            "W5",
            "non-ASCII: ≥ 4×",
            False,
        ),
        (
            {
                ("W7", "1.0 MB variables", peers.ZARN): 600,
                ("W7", "1.0 MB variables, fresh str", peers.ZARN): 530,
            },
            "W7",
            "≥ 90 %",
            False,
        ),
        (
            {
                ("W7", "1.0 MB variables", peers.ZARN): 600,
                ("W7", "1.0 MB variables, fresh str", peers.ZARN): 560,
                ("W7", "1.0 MB variables, fresh str", peers.GQL_CACHED): 180,
            },
            "W7",
            "fresh str: ≥ 3×",
            True,
        ),
        (
            {
                ("W5", "construct, peak RSS growth", peers.ZARN): 17,
                ("W5", "construct, peak RSS growth", "json.loads"): 17,
            },
            "W5",
            "lower peak memory",
            False,
        ),
        (
            {
                ("W4", "1000 tool fields, 2 services", peers.ZARN): 5,
                ("W4", "1000 tool fields, 2 services", peers.PY_BRIDGE): 10,
            },
            "W4",
            "≥ 2×",
            True,
        ),
    ],
)
def test_targets_are_judged_in_the_right_direction(
    values: dict[tuple[str, str, str], float], workload: str, text: str, met: bool
) -> None:
    judged = [(w, t, m) for w, t, m in peers.targets(_results_with(values)) if w == workload and text in t]
    assert judged and all(m == met for _, _, m in judged), judged


def test_table_rows(capsys: pytest.CaptureFixture[str]) -> None:
    results = peers.Results()
    results.rows = [
        peers.Row("W9", "c", peers.ZARN, 53818.7, "executes/s", True),
        peers.Row("W9", "c", "peer", 16473.6, "executes/s", True),
    ]
    results.fill_ratios()
    peers.print_table(results)
    lines = capsys.readouterr().out.splitlines()
    assert lines[2:] == [
        "| W9 | c | zarn | 53,818.700 | executes/s |  |",
        "| W9 | c | peer | 16,473.600 | executes/s | 3.3 |",
    ]


def test_executors_agree_on_large_variables(catalogue: tuple[list[wl.Tool], str]) -> None:
    tools, text = catalogue
    query = wl.LARGE_VARIABLES_QUERY_TEMPLATE.format(field=tools[0].field)
    variables = wl.large_variables(100_000)
    expected = wl.success({tools[0].field: wl.placeholder(tools[0])})
    schema = gcp.build_schema(tools)
    for response in (
        zarn.SchemaEngine(text).execute(query, variables),
        gcp.CachedExecutor(schema).execute(query, variables),
        gcp.default_execute(schema, query, variables),
    ):
        assert orjson.loads(response) == expected


def test_py_bridge_under_concurrent_executions() -> None:
    bridge = PyBridge()
    calls = [(f"f{i}", "files", f"tool{i}", {"i": i}, "query") for i in range(20)]
    expected = wl.success({f"f{i}": wl.REPLY for i in range(20)})
    responses: list[str] = []
    with service_threads(bridge, wl.REPLY_TEXT, 2):
        run_threads(lambda: responses.extend(bridge_execute(bridge, calls) for _ in range(25)), 4)
    assert len(responses) == 100 and all(json.loads(r) == expected for r in responses)
    assert bridge.pending_count() == 0
    assert bridge.start_call("s", "t", {}, "query") is not None
    assert json.loads(bridge.receive_tool_call(0) or "")["request_id"] == "tool-call-2001"  # ids never repeat


def test_run_threads_reports_a_failure_of_any_thread() -> None:
    failures = iter([None, None, ValueError("third")])

    def work() -> None:
        error = next(failures)
        if error is not None:
            raise error

    with pytest.raises(ValueError, match="third"):
        run_threads(work, 3)


def test_idle_probe_counts_the_engine_threads(tmp_path) -> None:  # type: ignore[no-untyped-def]
    path = tmp_path / "catalogue.json"
    path.write_text(wl.make_catalogue(50, 5)[1], encoding="utf-8")
    report = peers._probe(["idle", "zarn", str(path), "3"])
    # The runtime has one worker per processor the process may run on.
    assert report["threads"] == len(os.sched_getaffinity(0))
    assert report["rss_kb"] > 0


def test_construction_probe_checks_the_engine(catalogue: tuple[list[wl.Tool], str], tmp_path) -> None:  # type: ignore[no-untyped-def]
    tools, text = catalogue
    path = tmp_path / "catalogue.json"
    path.write_text(text, encoding="utf-8")
    report = peers._probe(["construct", "zarn", str(path)])
    assert report["tool_count"] == len(tools)
    assert json.loads(report["servers"]) == wl.success({"servers": wl.server_summaries(tools)})


_ANNOTATED = """\
--------------------------------------------------------------------------------
Ir
--------------------------------------------------------------------------------
1,000 (100.0%)  PROGRAM TOTALS
--------------------------------------------------------------------------------
Ir                   file:function
--------------------------------------------------------------------------------
900 (90.0%)  ???:zarn::execution::(anonymous namespace)::run_query(benchmark::State&) [/b/x]
600 (60.0%)  ???:bool zarn::json::(anonymous namespace)::Reader::parse_value<Sink>(int) [/b/x]
400 (40.0%)  ???:bool zarn::json::(anonymous namespace)::Reader::parse_value<Sink>(int)'2 [/b/x]
100 (10.0%)  ./malloc/./malloc/malloc.c:malloc [/usr/lib/libc.so.6]
"""


@pytest.mark.parametrize(("inclusive", "share"), [(False, 100.0), (True, 60.0)])
def test_callgrind_summary_merges_recursion_and_drops_the_harness(
    monkeypatch: pytest.MonkeyPatch, inclusive: bool, share: float
) -> None:
    import subprocess

    import callgrind_summary

    class Done:
        stdout = _ANNOTATED

    monkeypatch.setattr(subprocess, "run", lambda *args, **kwargs: Done())
    rows = callgrind_summary.summary("profile", 5, inclusive)
    assert rows == [(share, "bool zarn::json::(anon)::Reader::parse_value"), (10.0, "malloc")]
