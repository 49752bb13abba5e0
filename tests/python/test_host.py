import json
import threading
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

import pytest
from conftest import CATALOGUE

from zarn import RawJson, SchemaEngine, ToolCall, ToolHost

# A thread blocked inside execute cannot be interrupted by a signal, so every
# wait below is bounded by the test itself and the thread method backs it up.
pytestmark = pytest.mark.timeout(120, method="thread")

DETACHED = {"isError": True, "json": None, "text": "CallBridge is detached"}
WAIT = 30.0


def tool_error(text: str) -> dict[str, Any]:
    return {"isError": True, "json": None, "text": text}


def data(text: str) -> Any:
    document = json.loads(text)
    assert document["errors"] == [], document
    return document["data"]


def in_thread(fn: Callable[[], Any]) -> Future[Any]:
    pool = ThreadPoolExecutor(max_workers=1)
    future = pool.submit(fn)
    pool.shutdown(wait=False)
    return future


def query(host: ToolHost, text: str, variables: Any = None) -> str:
    """host.execute on another thread; a query that never finishes detaches the bridge and fails the test."""
    future = in_thread(lambda: host.execute(text, variables))
    try:
        return future.result(WAIT)  # type: ignore[no-any-return]
    except TimeoutError:
        host.engine.detach_call_bridge()  # releases the stuck execute
        raise AssertionError(f"query did not finish: {text}") from None


def host_threads() -> list[str]:
    return [t.name for t in threading.enumerate() if t.name.startswith(("zarn-tool", "zarn-execute"))]


@pytest.fixture
def gate() -> Iterator[threading.Event]:
    """An event that blocking handlers wait on; always set at the end so no thread stays blocked."""
    event = threading.Event()
    yield event
    event.set()


def test_two_handlers_decorator_and_method(engine: SchemaEngine) -> None:
    host = ToolHost(engine)

    @host.tool("alpha", "lookup")
    def lookup(args: dict[str, Any]) -> dict[str, Any]:
        return {"found": args["q"], "limit": args.get("limit")}

    host.add_tool("beta", "echo", lambda args: args)
    assert lookup({"q": "x"}) == {"found": "x", "limit": None}  # the decorator returns the function
    with host:
        text = query(host, '{ a: alpha_lookup(q: "graphql", limit: 5) beta_echo(x: [1, 2.5], y: "é") }')
    assert text == '{"data":{"a":{"found":"graphql","limit":5},"beta_echo":{"x":[1,2.5],"y":"é"}},"errors":[]}'


@pytest.mark.parametrize(
    ("result", "value"),
    [
        (None, None),
        ("text", "text"),  # a plain str is a JSON string, not JSON text
        ('{"a": 1}', '{"a": 1}'),
        (RawJson('{"b": 1, "a": [true]}'), {"a": [True], "b": 1}),
        (RawJson(" 42 "), 42),
        ({"nested": {"z": "\u2603", "a": -1}}, {"nested": {"a": -1, "z": "\u2603"}}),
        (RawJson("{"), tool_error("CallBridge returned invalid JSON: EOF while parsing an object at line 1 column 1")),
        ({"raw": RawJson('{"b": [1]}'), "list": [RawJson("null")]}, {"list": [None], "raw": {"b": [1]}}),
    ],
)
def test_handler_results_become_field_values(engine: SchemaEngine, result: Any, value: Any) -> None:
    with ToolHost(engine, {("beta", "echo"): lambda args: result}) as host:
        assert data(query(host, "{ beta_echo }")) == {"beta_echo": value}


class Silent(Exception):
    def __str__(self) -> str:
        return ""


def raise_(error: BaseException) -> Any:
    raise error


@pytest.mark.parametrize(
    ("handler", "text"),
    [
        (lambda args: raise_(ValueError('bad "input"\n')), 'ValueError: bad "input"\n'),
        (lambda args: args["missing"], "KeyError: 'missing'"),
        (lambda args: raise_(Silent()), "Silent"),
        (lambda args: raise_(RuntimeError("bad \ud800 text")), "RuntimeError: bad \\ud800 text"),
        (lambda args: {1, 2}, "TypeError: Object of type set is not JSON serializable"),
        (lambda args: {"nested": {1, 2}}, "TypeError: Object of type set is not JSON serializable"),
        (lambda args: float("nan"), "ValueError: Out of range float values are not JSON compliant: nan"),
        (lambda args: {(1, 2): 0}, "TypeError: keys must be str, int, float, bool or None, not tuple"),
        (lambda args: [RawJson("1, 2")], "ValueError: RawJson text is not JSON: Extra data: line 1 column 2 (char 1)"),
        (
            lambda args: "lone \ud800",
            "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 6: surrogates not allowed",
        ),
    ],
)
def test_handler_failures_become_tool_errors(
    engine: SchemaEngine, caplog: pytest.LogCaptureFixture, handler: Any, text: str
) -> None:
    with ToolHost(engine, {("beta", "echo"): handler}, threads=1) as host:
        assert data(query(host, "{ beta_echo }")) == {"beta_echo": tool_error(text)}
        # logged with the traceback that the tool error cannot carry
        [record] = caplog.records
        assert (record.name, record.levelname, record.getMessage()) == (
            "zarn.host",
            "ERROR",
            "tool beta.echo failed (tool-call-1)",
        )
        assert record.exc_info is not None and record.exc_info[2] is not None
        # the service thread survived and serves the next call
        host.add_tool("beta", "echo", lambda args: "ok")
        assert data(query(host, "{ beta_echo }")) == {"beta_echo": "ok"}


@pytest.mark.parametrize("error", [SystemExit("bye"), KeyboardInterrupt("bye"), GeneratorExit("bye")])
def test_base_exceptions_do_not_end_the_service_thread(engine: SchemaEngine, error: BaseException) -> None:
    with ToolHost(engine, {("beta", "echo"): lambda args: raise_(error)}, threads=1) as host:
        assert data(query(host, "{ beta_echo }")) == {"beta_echo": tool_error(f"{type(error).__name__}: bye")}
        host.add_tool("beta", "echo", lambda args: 1)
        assert data(query(host, "{ beta_echo }")) == {"beta_echo": 1}  # the one thread serves on


def test_unknown_tool_and_fallback(engine: SchemaEngine) -> None:
    calls: list[ToolCall] = []
    host = ToolHost(engine, {("beta", "echo"): lambda args: "echo"})
    with host:
        doc = data(query(host, "{ alpha_store beta_echo }"))
        assert doc == {"alpha_store": tool_error("ToolHost has no handler for alpha.store"), "beta_echo": "echo"}

        @host.set_fallback
        def fallback(call: ToolCall) -> str:
            calls.append(call)
            return f"{call.server}/{call.tool}"

        doc = data(query(host, "{ alpha_store(n: 1) alpha_lookup beta_echo }"))
    assert doc == {"alpha_store": "alpha/store", "alpha_lookup": "alpha/lookup", "beta_echo": "echo"}
    assert sorted((c.server, c.tool, c.arguments, c.operation) for c in calls) == [
        ("alpha", "lookup", {}, "query"),
        ("alpha", "store", {"n": 1}, "mutation"),
    ]
    assert {c.request_id for c in calls} <= {"tool-call-3", "tool-call-4", "tool-call-5"}


def test_unhandled_tools_follow_the_catalogue(engine: SchemaEngine) -> None:
    host = ToolHost(engine, {("alpha", "store"): lambda args: 0})
    assert host.unhandled_tools() == [("alpha", "lookup"), ("beta", "echo")]
    host.add_tool("beta", "echo", lambda args: 0)
    assert host.unhandled_tools() == [("alpha", "lookup")]


def test_context_attaches_then_detaches_and_joins(engine: SchemaEngine) -> None:
    placeholder = tool_error("SchemaEngine stub resolved beta.echo but CallBridge is not wired yet")
    before = host_threads()
    host = ToolHost(engine, {("beta", "echo"): lambda args: "served"}, threads=3)
    assert data(query(host, "{ beta_echo }")) == {"beta_echo": placeholder}  # not started: detached
    with host as entered:
        assert entered is host and host.engine is engine
        assert host_threads().count("zarn-tool-host-2") == before.count("zarn-tool-host-2") + 1
        assert data(query(host, "{ beta_echo }")) == {"beta_echo": "served"}
    assert host_threads() == before
    assert data(engine.execute("{ beta_echo }")) == {"beta_echo": placeholder}
    assert engine.receive_tool_call(0) is None


def test_variables_mapping_or_text(engine: SchemaEngine) -> None:
    text = "query($v: Int, $s: String) { beta_echo(v: $v, s: $s) }"
    with ToolHost(engine, {("beta", "echo"): lambda args: args}) as host:
        assert data(query(host, text, {"v": 7, "s": "é"})) == {"beta_echo": {"s": "é", "v": 7}}
        assert data(query(host, text, '{"v": 8, "s": null}')) == {"beta_echo": {"s": None, "v": 8}}
        assert "variables_json must decode to a JSON object" in query(host, text, "[]")
        with pytest.raises(TypeError, match="not JSON serializable"):
            query(host, text, {"v": object()})


def test_close_ends_calls_in_flight_without_waiting_for_the_handler(
    engine: SchemaEngine, gate: threading.Event
) -> None:
    entered = threading.Event()
    outcome: list[bool] = []

    def slow(call: ToolCall) -> int:
        entered.set()
        gate.wait()
        outcome.append(engine.respond_tool_call(call.request_id, "1"))  # what the host's answer will meet
        return 2

    host = ToolHost(engine, fallback=slow, threads=1)
    host.start()
    done = in_thread(lambda: host.execute("{ alpha_lookup beta_echo }"))  # the one thread takes the first call only
    assert entered.wait(30)
    closing = in_thread(host.close)
    # the bridge is detached while the handler is still running: execute returns at once
    assert data(done.result(30)) == {"alpha_lookup": DETACHED, "beta_echo": DETACHED}
    assert not closing.done()  # close waits for the handler's thread
    gate.set()
    closing.result(30)
    assert outcome == [False]  # the call had been ended by the detach
    assert engine.receive_tool_call(0) is None  # the request that nobody took was drained
    assert host_threads() == []


def test_lifecycle_errors(engine: SchemaEngine) -> None:
    host = ToolHost(engine)
    with host:
        with pytest.raises(RuntimeError, match="^ToolHost has already been started$"):
            host.start()
        with pytest.raises(RuntimeError, match="^SchemaEngine already has a running ToolHost$"):
            ToolHost(engine).start()
        ToolHost(SchemaEngine(CATALOGUE)).close()  # closing a host never started is harmless
    host.close()
    with pytest.raises(RuntimeError, match="^ToolHost has already been started$"):
        host.start()
    with pytest.raises(RuntimeError, match="^ToolHost is closed$"):
        query(host, "{ __typename }")
    with ToolHost(engine, {("beta", "echo"): lambda args: 3}) as again:  # the engine is free again
        assert data(query(again, "{ beta_echo }")) == {"beta_echo": 3}


def test_many_executions_over_few_threads(engine: SchemaEngine) -> None:
    seen: list[str] = []
    lock = threading.Lock()

    def echo(call: ToolCall) -> RawJson:
        with lock:
            seen.append(call.request_id)
        return RawJson(json.dumps(call.arguments))

    with ToolHost(engine, fallback=echo, threads=3) as host:

        def run(n: int) -> None:
            fields = " ".join(f"f{i}: beta_echo(n: {n}, i: {i})" for i in range(6))
            assert data(host.execute("{ " + fields + " }")) == {f"f{i}": {"i": i, "n": n} for i in range(6)}

        pool = ThreadPoolExecutor(max_workers=4)
        try:
            list(pool.map(run, range(150), timeout=100))
        except BaseException:
            engine.detach_call_bridge()  # never leave the pool's threads waiting
            raise
        finally:
            pool.shutdown()
    assert len(seen) == len(set(seen)) == 150 * 6


def test_close_while_executions_keep_starting(engine: SchemaEngine) -> None:
    # Executions racing with close either finish with values, with detached
    # calls, with placeholders, or are refused; none is left waiting.
    host = ToolHost(engine, {("beta", "echo"): lambda args: 1, ("alpha", "lookup"): lambda args: 2}, threads=2)
    host.start()
    started = threading.Barrier(5)

    def keep_executing() -> int:
        count = 0
        started.wait()
        while True:
            try:
                doc = data(host.execute("{ beta_echo alpha_lookup a: alpha_lookup }"))
            except RuntimeError:
                return count
            assert set(doc) == {"beta_echo", "alpha_lookup", "a"}
            count += 1

    runners = [in_thread(keep_executing) for _ in range(4)]
    started.wait()
    host.close()
    assert all(runner.result(60) >= 0 for runner in runners)
    assert engine.receive_tool_call(0) is None


def test_a_handler_may_run_a_nested_query(engine: SchemaEngine) -> None:
    with ToolHost(engine, threads=2) as host:
        host.add_tool("beta", "echo", lambda args: "inner")
        host.add_tool("alpha", "lookup", lambda args: json.loads(host.execute("{ beta_echo }"))["data"])
        assert data(query(host, "{ alpha_lookup }")) == {"alpha_lookup": {"beta_echo": "inner"}}


@pytest.mark.parametrize(
    ("server", "tool", "handler", "error", "message"),
    [
        ("alpha", "lokup", len, ValueError, "no tool 'lokup' of server 'alpha'; did you mean alpha.lookup?"),
        ("gamma", "echo", len, ValueError, "no tool 'echo' of server 'gamma'; did you mean beta.echo?"),
        ("zzz", "qqq", len, ValueError, "no tool 'qqq' of server 'zzz'$"),
        (
            "alpha",
            "alpha_store",
            len,
            ValueError,
            "'alpha_store' is the GraphQL field of tool 'store'.*'alpha', 'store'",
        ),
        ("alpha", "store", "not callable", TypeError, "handler for alpha.store must be callable, not str"),
    ],
)
def test_registration_mistakes_are_refused(
    engine: SchemaEngine, server: str, tool: str, handler: Any, error: type[Exception], message: str
) -> None:
    host = ToolHost(engine)
    with pytest.raises(error, match=message):
        host.add_tool(server, tool, handler)
    with pytest.raises(error, match=message):
        host.tool(server, tool)(handler)
    with pytest.raises(error, match=message):
        ToolHost(engine, {(server, tool): handler})
    assert host.unhandled_tools() == [("alpha", "lookup"), ("alpha", "store"), ("beta", "echo")]
    with pytest.raises(TypeError, match="fallback must be callable"):
        host.set_fallback(42)  # type: ignore[type-var]


def test_version_is_the_package_metadata_version() -> None:
    from importlib.metadata import version

    import zarn

    assert zarn.__version__ == version("zarn")
