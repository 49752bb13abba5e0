"""Reference counts stay put over thousands of calls of every method, the
failing paths included. Needs a debug build of the interpreter, which counts
every reference it holds (sys.gettotalrefcount); run it with tests/leaks.sh.
"""

import gc
import json
import queue
import sys
import threading
from collections.abc import Callable, Iterator
from typing import Any

import pytest
from conftest import CATALOGUE
from support import Index

from zarn._graphql import SchemaEngine

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of CPython")

ROUNDS = 2000
ENGINE_ROUNDS = 300  # each engine starts and joins its worker threads


# A reference lost per call moves the total by the number of rounds; the
# interpreter's own caches move it by a few dozen at times, more after many
# other tests have run (34 seen once on a failing conversion; 61 and once 124
# over 2,000 calls on an `__index__` that raises, whose figure run alone is 27
# and then 2). The slack is a tenth of the rounds, and never under 100, so a
# leak of one reference per call is still ten times over it.
def slack(rounds: int) -> int:
    return max(100, rounds // 10)


def total_refs() -> int:
    return sys.gettotalrefcount()  # type: ignore[attr-defined,no-any-return]


def leaked(call: Callable[[], Any], rounds: int) -> int:
    """The change of the interpreter's reference total over `rounds` calls:
    the smaller of two measurements, since the first calls of a path may
    fill caches (specialised bytecode, interned names) once."""
    for _ in range(50):
        call()
    changes = []
    for _ in range(2):
        gc.collect()
        before = total_refs()
        for _ in range(rounds):
            call()
        gc.collect()
        changes.append(total_refs() - before)
    return min(changes, key=abs)


def raises(kind: type[BaseException], call: Callable[[], Any]) -> Callable[[], None]:
    def failing() -> None:
        try:
            call()
        except kind:
            return
        raise AssertionError(f"{kind.__name__} not raised")

    return failing


ENGINE = SchemaEngine(CATALOGUE)

ENGINE_CASES: dict[str, Callable[[], Any]] = {
    "new empty": lambda: SchemaEngine(),
    "new catalogue": lambda: SchemaEngine(CATALOGUE),
    "new keyword": lambda: SchemaEngine(catalogue_json=CATALOGUE),
    "build": lambda: SchemaEngine.build(CATALOGUE),
    "from_tool_metadata": lambda: SchemaEngine.from_tool_metadata(catalogue_json=""),
    "new non-ASCII catalogue": lambda: SchemaEngine(CATALOGUE.replace("Look a thing up", "Ищет — 🚀")),
}

CALL_CASES: dict[str, Callable[[], Any]] = {
    "new invalid catalogue": raises(ValueError, lambda: SchemaEngine("[1, 2")),
    "new too deep": raises(ValueError, lambda: SchemaEngine("[" * 1000)),
    "new non-str": raises(TypeError, lambda: SchemaEngine(5)),
    "new surrogate": raises(UnicodeEncodeError, lambda: SchemaEngine("\ud800")),
    "new too many": raises(TypeError, lambda: SchemaEngine("", "")),
    "new twice": raises(TypeError, lambda: SchemaEngine("", catalogue_json="")),
    "new unknown keyword": raises(TypeError, lambda: SchemaEngine(nope="")),
    "new surrogate keyword": raises(TypeError, lambda: SchemaEngine(**{"\udc80": ""})),
    "build None": raises(TypeError, lambda: SchemaEngine.build(None)),  # type: ignore[arg-type]
    "build missing": raises(TypeError, lambda: SchemaEngine.build()),  # type: ignore[call-arg]
    "from_tool_metadata invalid": raises(ValueError, lambda: SchemaEngine.from_tool_metadata("{")),
    "describe": ENGINE.describe,
    "describe argument": raises(TypeError, lambda: ENGINE.describe(1)),  # type: ignore[call-arg]
    "tool_count": ENGINE.tool_count,
    "attach and detach": lambda: (ENGINE.attach_call_bridge(), ENGINE.detach_call_bridge()),
    "execute built-ins": lambda: ENGINE.execute("{ __typename servers search }"),
    "execute placeholders": lambda: ENGINE.execute("{ a: alpha_lookup(x: [$v]) b: beta_echo }", '{"v": {"k": 1}}'),
    "execute keywords": lambda: ENGINE.execute(query="{ __typename }", variables_json=None),
    "execute blank": lambda: ENGINE.execute(" \n"),
    "execute parse error": lambda: ENGINE.execute('{ alpha_lookup(x: "\\q") }'),
    "execute unknown field": lambda: ENGINE.execute("{ alpha_lookup nope }"),
    "execute missing variable": lambda: ENGINE.execute("{ alpha_lookup(x: $v) }"),
    "execute bad variables": lambda: ENGINE.execute("{ __typename }", "[1"),
    "execute too deep": lambda: ENGINE.execute("{ beta_echo(x: " + "[" * 200 + ") }"),
    "execute non-str": raises(TypeError, lambda: ENGINE.execute(b"{}")),  # type: ignore[arg-type]
    "execute surrogate": raises(UnicodeEncodeError, lambda: ENGINE.execute("{ __typename }", "\udfff")),
    "execute missing": raises(TypeError, lambda: ENGINE.execute()),  # type: ignore[call-arg]
    "execute twice": raises(TypeError, lambda: ENGINE.execute("{a}", query="{a}")),  # type: ignore[misc]
    "execute surrogate keyword": raises(TypeError, lambda: ENGINE.execute("{a}", **{"\ud800": 1})),
    "execute non-ASCII": lambda: ENGINE.execute('{ beta_echo(x: "ж 🚀", y: $v) }', '{"v": "é"}'),
    "execute surrogate pair": raises(UnicodeEncodeError, lambda: ENGINE.execute("ж\ud83d\ude00")),
    "receive poll": lambda: ENGINE.receive_tool_call(0),
    "receive index": lambda: ENGINE.receive_tool_call(timeout_ms=Index(0)),
    "receive None": raises(TypeError, lambda: ENGINE.receive_tool_call(None)),  # type: ignore[arg-type]
    "receive negative": raises(OverflowError, lambda: ENGINE.receive_tool_call(-1)),
    "receive huge": raises(OverflowError, lambda: ENGINE.receive_tool_call(2**70)),
    "receive raising index": raises(KeyError, lambda: ENGINE.receive_tool_call(Index(KeyError("x")))),
    "receive too many": raises(TypeError, lambda: ENGINE.receive_tool_call(0, 0)),  # type: ignore[call-arg]
    "respond unknown id": lambda: ENGINE.respond_tool_call("tool-call-999999", "1"),
    "respond non-str": raises(TypeError, lambda: ENGINE.respond_tool_call("x", 1)),  # type: ignore[arg-type]
    "respond surrogate": raises(UnicodeEncodeError, lambda: ENGINE.respond_tool_call("\ud800", "1")),
    "respond missing": raises(TypeError, lambda: ENGINE.respond_tool_call("x")),  # type: ignore[call-arg]
    "fail unknown id": lambda: ENGINE.fail_tool_call(request_id="nope", message="m"),
    "fail non-str": raises(TypeError, lambda: ENGINE.fail_tool_call("x", None)),  # type: ignore[arg-type]
    "respond and fail non-ASCII": lambda: (
        ENGINE.respond_tool_call("tool-call-999999", '"ж 🚀"'),
        ENGINE.fail_tool_call("nope", "é ж 🚀"),
    ),
}


@pytest.mark.parametrize("call", ENGINE_CASES.values(), ids=ENGINE_CASES.keys())
def test_engines_come_and_go_without_leaks(call: Callable[[], Any]) -> None:
    assert abs(leaked(call, ENGINE_ROUNDS)) <= slack(ENGINE_ROUNDS)


@pytest.mark.parametrize("call", CALL_CASES.values(), ids=CALL_CASES.keys())
def test_calls_leave_no_references(call: Callable[[], Any]) -> None:
    assert abs(leaked(call, ROUNDS)) <= slack(ROUNDS)


class Executor:
    """One thread that runs queries handed to it, so that a measured round
    trip creates no thread of its own."""

    def __init__(self, engine: SchemaEngine) -> None:
        self.engine = engine
        self.jobs: queue.SimpleQueue[str | None] = queue.SimpleQueue()
        self.results: queue.SimpleQueue[str] = queue.SimpleQueue()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self) -> None:
        while (query := self.jobs.get()) is not None:
            self.results.put(self.engine.execute(query))

    def stop(self) -> None:
        self.jobs.put(None)
        self.thread.join(10)


@pytest.fixture
def executor() -> Iterator[Executor]:
    engine = SchemaEngine(CATALOGUE)
    engine.attach_call_bridge()
    executor = Executor(engine)
    try:
        yield executor
    finally:
        engine.detach_call_bridge()
        executor.stop()


ANSWERS: dict[str, Callable[[SchemaEngine, str], Any]] = {
    "respond": lambda e, rid: e.respond_tool_call(rid, '{"k": [1, 2.5, "x"]}'),
    "respond invalid JSON": lambda e, rid: e.respond_tool_call(rid, "[1,"),
    "respond too deep": lambda e, rid: e.respond_tool_call(rid, "[" * 500),
    "fail": lambda e, rid: e.fail_tool_call(rid, "broken"),
    "answer twice": lambda e, rid: (e.respond_tool_call(rid, "1"), e.respond_tool_call(rid, "2")),
}


@pytest.mark.parametrize("answer", ANSWERS.values(), ids=ANSWERS.keys())
def test_round_trips_leave_no_references(executor: Executor, answer: Callable[[SchemaEngine, str], Any]) -> None:
    engine = executor.engine

    def round_trip() -> None:
        executor.jobs.put("{ a: beta_echo(n: 1) b: alpha_store }")
        for _ in range(2):
            text = engine.receive_tool_call(10_000)
            assert text is not None
            answer(engine, json.loads(text)["request_id"])
        executor.results.get(timeout=10)

    assert abs(leaked(round_trip, ROUNDS // 2)) <= slack(ROUNDS // 2)


def test_detach_while_waiting_leaves_no_references(executor: Executor) -> None:
    engine = executor.engine

    def detached_round_trip() -> None:
        executor.jobs.put("{ a: beta_echo b: alpha_lookup }")
        for _ in range(2):
            assert engine.receive_tool_call(10_000) is not None
        engine.detach_call_bridge()
        assert '"CallBridge is detached"' in executor.results.get(timeout=10)
        engine.attach_call_bridge()

    assert abs(leaked(detached_round_trip, ROUNDS // 2)) <= slack(ROUNDS // 2)
