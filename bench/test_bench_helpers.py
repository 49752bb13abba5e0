"""The benchmark's own parts: if the model of the catalogue, the peers or the
measurement probes were wrong, every figure in the table would be too.

Run with `python -m pytest bench/test_bench_helpers.py`.
"""

from __future__ import annotations

import json
import threading

import orjson
import pytest

import zarn

import graphql_core_peer as gcp
import peers
import workloads as wl
from callgrind_summary import short_name
from py_bridge import PyBridge, bridge_execute, service_threads


@pytest.fixture(scope="module")
def catalogue() -> tuple[list[wl.Tool], str]:
    return wl.make_catalogue(60, 4, seed=7)


@pytest.mark.parametrize(
    ("text", "field"),
    [("write-file", "write_file"), ("list pull request", "list_pull_request"), ("3d", "_3d"), ("", "_"),
     ("é", "_"), ("a_b9", "a_b9")],
)
def test_sanitize_graphql_name(text: str, field: str) -> None:
    assert wl.sanitize_graphql_name(text) == field


def test_the_model_of_the_catalogue_is_what_the_engine_reads(catalogue: tuple[list[wl.Tool], str]) -> None:
    tools, text = catalogue
    assert wl.tools_from_catalogue(json.loads(text)) == tools
    assert len({t.field for t in tools}) == len(tools)  # every tool can be selected
    engine = zarn.SchemaEngine(text)
    assert json.loads(engine.execute("{ servers search }")) == wl.success(
        {"servers": wl.server_summaries(tools), "search": wl.search_hits(tools)})
    assert any(not t.read_only for t in tools) and any(t.server_description is None for t in tools)


def test_catalogue_sizes() -> None:
    tools, text = wl.make_catalogue(10_000, 100)
    assert len(tools) == 10_000 and len({t.server for t in tools}) == 100
    assert 4.0e6 < len(text.encode()) < 4.8e6
    assert wl.make_catalogue(10_000, 100)[1] == text  # seeded


def test_server_summaries_order_and_description() -> None:
    tools = [wl.Tool("a", None, "x", "", True), wl.Tool("B", "b desc", "y", "", False),
             wl.Tool("a", "Second", "z", "", False), wl.Tool("a", "Third", "w", "", True)]
    assert wl.server_summaries(tools) == [
        {"description": "b desc", "name": "B", "readOnlyCount": 0, "toolCount": 1},
        {"description": "Second", "name": "a", "readOnlyCount": 2, "toolCount": 3},
    ]


def test_large_variables_size_and_shape() -> None:
    text = wl.large_variables(200_000)
    document = json.loads(text)
    assert 200_000 <= len(text.encode()) < 210_000
    assert document["payload"]["count"] == len(document["payload"]["records"])


@pytest.mark.parametrize("size", [1, 8])
def test_every_engine_answers_the_detached_query_alike(catalogue: tuple[list[wl.Tool], str], size: int) -> None:
    tools, text = catalogue
    query, expected = peers.placeholder_case(peers.spread(tools, size))
    schema = gcp.build_schema(tools)
    for response in (zarn.SchemaEngine(text).execute(query), gcp.CachedExecutor(schema).execute(query),
                     gcp.default_execute(schema, query)):
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
        '{"request_id":"tool-call-1","server":"files","tool":"search","arguments":{"query":"q"},"operation":"query"}')
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
    requests = []
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
        peers.Row("W1", "c", peers.ZARN, 2.0, "µs"), peers.Row("W1", "c", "peer", 6.0, "µs"),
        peers.Row("W7", "c", peers.ZARN, 500.0, "MB/s", True), peers.Row("W7", "c", "peer", 250.0, "MB/s", True),
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
        ("???:zarn::json::(anonymous namespace)::Reader::parse_string(std::basic_string_view<char>) [/b/x]",
         "zarn::json::(anon)::Reader::parse_string"),
        ("???:zarn::catalogue::Catalogue::find_field(std::basic_string_view<char>) const [/b/x]",
         "zarn::catalogue::Catalogue::find_field"),
        ("???:zarn::execution::execute_json[abi:cxx11](zarn::execution::EngineState const&) [/b/x]",
         "zarn::execution::execute_json"),
        ("./malloc/./malloc/malloc.c:free [/usr/lib/libc.so.6]", "free"),
        ("???:std::vector<std::pair<int, int>, std::allocator<int> >::~vector() [/b/x]", "std::vector::~vector"),
    ],
)
def test_callgrind_names_are_shortened(entry: str, name: str) -> None:
    assert short_name(entry) == name
