import json
import random
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import pytest
from conftest import CATALOGUE
from support import attached, in_thread, take_request

from zarn._graphql import SchemaEngine

DETACHED = {"isError": True, "json": None, "text": "CallBridge is detached"}


def test_request_text_and_ids(engine: SchemaEngine) -> None:
    with attached(engine):
        done = in_thread(lambda: engine.execute('mutation { a: alpha_lookup(q: "graphql", limit: 5) b: alpha_store }'))
        first = engine.receive_tool_call(5000)
        second = engine.receive_tool_call(5000)
        assert first == (
            '{"request_id":"tool-call-1","server":"alpha","tool":"lookup",'
            '"arguments":{"limit":5,"q":"graphql"},"operation":"query"}'
        )
        assert second == (
            '{"request_id":"tool-call-2","server":"alpha","tool":"store","arguments":{},"operation":"mutation"}'
        )
        assert engine.respond_tool_call("tool-call-2", ' "two" ')
        assert engine.respond_tool_call(request_id="tool-call-1", result_json="42")
        assert done.result(10) == '{"data":{"a":42,"b":"two"},"errors":[]}'


@pytest.mark.parametrize(
    ("reply", "value"),
    [
        ("null", None),
        ('[1, 2.0, {"b": 1, "a": 2}]', [1, 2.0, {"a": 2, "b": 1}]),
        ('"text"', "text"),
        ("true", True),
        ("-0", -0.0),
    ],
)
def test_reply_becomes_the_value(engine: SchemaEngine, reply: str, value: Any) -> None:
    with attached(engine):
        done = in_thread(lambda: engine.execute("{ beta_echo }"))
        request = take_request(engine)
        assert engine.respond_tool_call(request["request_id"], reply)
        assert json.loads(done.result(10)) == {"data": {"beta_echo": value}, "errors": []}


@pytest.mark.parametrize(
    ("reply", "text"),
    [
        ("", "CallBridge returned invalid JSON: EOF while parsing a value at line 1 column 0"),
        ("1 2", "CallBridge returned invalid JSON: trailing characters at line 1 column 3"),
        ("{", "CallBridge returned invalid JSON: EOF while parsing an object at line 1 column 1"),
    ],
)
def test_invalid_reply_is_a_tool_error(engine: SchemaEngine, reply: str, text: str) -> None:
    with attached(engine):
        done = in_thread(lambda: engine.execute("{ beta_echo }"))
        request = take_request(engine)
        assert engine.respond_tool_call(request["request_id"], reply) is True
        assert json.loads(done.result(10))["data"]["beta_echo"] == {"isError": True, "json": None, "text": text}


def test_fail_and_answer_once(engine: SchemaEngine) -> None:
    with attached(engine):
        done = in_thread(lambda: engine.execute("{ beta_echo }"))
        request = take_request(engine)
        assert engine.fail_tool_call(request["request_id"], 'bad "tool"\n') is True
        assert engine.fail_tool_call(request["request_id"], "again") is False
        assert engine.respond_tool_call(request["request_id"], "1") is False
        assert json.loads(done.result(10))["data"]["beta_echo"] == {
            "isError": True,
            "json": None,
            "text": 'bad "tool"\n',
        }
    assert engine.respond_tool_call("tool-call-99", "1") is False
    assert engine.respond_tool_call("nonsense", "1") is False


def test_detach_ends_waiting_calls_and_leaves_envelopes(engine: SchemaEngine) -> None:
    engine.attach_call_bridge()
    done = in_thread(lambda: engine.execute("{ alpha_lookup beta_echo }"))
    request = take_request(engine)  # the first is taken, the second stays queued
    engine.detach_call_bridge()
    assert json.loads(done.result(10)) == {"data": {"alpha_lookup": DETACHED, "beta_echo": DETACHED}, "errors": []}
    assert engine.respond_tool_call(request["request_id"], "1") is False
    left = engine.receive_tool_call(0)
    assert left is not None and json.loads(left)["request_id"] == "tool-call-2"
    assert engine.respond_tool_call("tool-call-2", "1") is False
    # numbering carries on after re-attaching
    with attached(engine):
        again = in_thread(lambda: engine.execute("{ beta_echo }"))
        assert take_request(engine)["request_id"] == "tool-call-3"
        engine.respond_tool_call("tool-call-3", "0")
        again.result(10)


def test_attach_twice_and_detach_idle_change_nothing(engine: SchemaEngine) -> None:
    assert engine.attach_call_bridge() is None
    assert engine.attach_call_bridge() is None
    assert engine.detach_call_bridge() is None
    assert engine.detach_call_bridge() is None
    assert json.loads(engine.execute("{ beta_echo }"))["data"]["beta_echo"]["isError"] is True


def test_built_in_fields_make_no_request(engine: SchemaEngine) -> None:
    with attached(engine):
        assert engine.execute("{ __typename servers }").startswith('{"data":{"__typename":"Query"')
        assert engine.receive_tool_call(0) is None


def test_unknown_field_means_no_request(engine: SchemaEngine) -> None:
    with attached(engine):
        assert "unknown GraphQL field: nope" in engine.execute("{ beta_echo nope }")
        assert engine.receive_tool_call(0) is None


def test_receive_times_out(engine: SchemaEngine) -> None:
    assert engine.receive_tool_call(0) is None
    start = time.monotonic()
    assert engine.receive_tool_call(30) is None
    assert engine.receive_tool_call() is None  # 100 ms by default
    assert time.monotonic() - start >= 0.12


def test_other_methods_run_while_execute_blocks(engine: SchemaEngine) -> None:
    with attached(engine):
        done = in_thread(lambda: engine.execute("{ beta_echo }"))
        request = take_request(engine)
        assert engine.tool_count() == 3
        assert engine.describe().endswith("(3 tool fields)")
        assert not done.done()
        engine.respond_tool_call(request["request_id"], "1")
        done.result(10)


def test_many_executions_and_service_threads() -> None:
    engine = SchemaEngine(CATALOGUE)
    engine.attach_call_bridge()
    stop = threading.Event()
    seen: list[str] = []
    lock = threading.Lock()

    def serve(seed: int) -> None:
        rng = random.Random(seed)
        while not stop.is_set():
            text = engine.receive_tool_call(20)
            if text is None:
                continue
            request = json.loads(text)
            with lock:
                seen.append(request["request_id"])
            if rng.random() < 0.2:
                time.sleep(rng.random() / 1000)
            engine.respond_tool_call(request["request_id"], json.dumps(request["arguments"]))

    servers = [threading.Thread(target=serve, args=(seed,)) for seed in range(3)]
    for thread in servers:
        thread.start()
    try:

        def run(n: int) -> None:
            fields = " ".join(f"f{i}: beta_echo(n: {n}, i: {i})" for i in range(8))
            doc = json.loads(engine.execute("{ " + fields + " }"))
            assert doc["data"] == {f"f{i}": {"i": i, "n": n} for i in range(8)}

        with ThreadPoolExecutor(max_workers=4) as pool:
            list(pool.map(run, range(200), timeout=60))
    finally:
        stop.set()
        engine.detach_call_bridge()
        for thread in servers:
            thread.join(10)
    assert len(seen) == 200 * 8
    assert len(set(seen)) == len(seen)


def test_detach_releases_every_waiting_execution() -> None:
    engine = SchemaEngine(CATALOGUE)
    engine.attach_call_bridge()
    futures = [in_thread(lambda: engine.execute("{ a: beta_echo b: alpha_lookup }")) for _ in range(6)]
    ids = {take_request(engine)["request_id"] for _ in range(12)}  # every call is now waiting
    assert len(ids) == 12
    engine.detach_call_bridge()
    for future in futures:
        doc = json.loads(future.result(10))
        assert doc == {"data": {"a": DETACHED, "b": DETACHED}, "errors": []}


def worker_names() -> list[str]:
    import os

    out = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                out.append(f.read().strip())
        except FileNotFoundError:  # a thread that ended meanwhile
            pass
    return out


def test_engines_dropped_in_a_loop_leave_no_threads() -> None:
    # Only the engines' own workers are counted: other tests' pool threads may
    # still be winding down.
    base = worker_names().count("zarn-lite-graph")
    for _ in range(50):
        engine = SchemaEngine(CATALOGUE)
        engine.execute("{ beta_echo }")
        del engine
    assert worker_names().count("zarn-lite-graph") == base


def test_worker_threads_are_named() -> None:
    import os

    before = worker_names().count("zarn-lite-graph")
    engine = SchemaEngine()
    assert worker_names().count("zarn-lite-graph") == before + len(os.sched_getaffinity(0))
    del engine
    assert worker_names().count("zarn-lite-graph") == before
