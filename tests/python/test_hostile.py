"""Hostile input through every method of SchemaEngine.

Each case must give the documented exception or result, and leave the engine
working for the next call: no crash, no hang, no stray request or lost state.
"""

import json
import threading
from collections.abc import Callable
from typing import Any, ClassVar

import pytest
from conftest import CATALOGUE
from support import Index, attached, in_thread, take_request

from zarn._graphql import SchemaEngine

TYPENAME = '{"data":{"__typename":"Query"},"errors":[]}'
MILLION = 1_000_000
HUNDRED_MB = 100 * 1024 * 1024


def tool_error(text: str) -> dict[str, Any]:
    return {"isError": True, "json": None, "text": text}


def error_doc(message: str) -> dict[str, Any]:
    return {"data": None, "errors": [{"message": message}]}


# Every str parameter of every method, called with `value` in its place and
# valid arguments elsewhere. Optional parameters take None.
STR_PARAMETERS: list[tuple[str, bool, Callable[[SchemaEngine, Any], Any]]] = [
    ("catalogue_json", True, lambda e, v: SchemaEngine(v)),
    ("catalogue_json", False, lambda e, v: SchemaEngine.build(v)),
    ("catalogue_json", False, lambda e, v: SchemaEngine.from_tool_metadata(v)),
    ("query", False, lambda e, v: e.execute(v)),
    ("variables_json", True, lambda e, v: e.execute("{ __typename }", v)),
    ("request_id", False, lambda e, v: e.respond_tool_call(v, "1")),
    ("result_json", False, lambda e, v: e.respond_tool_call("tool-call-1", v)),
    ("request_id", False, lambda e, v: e.fail_tool_call(v, "m")),
    ("message", False, lambda e, v: e.fail_tool_call("tool-call-1", v)),
]
STR_IDS = ["new", "build", "from_tool_metadata", "query", "variables", "respond_id", "result", "fail_id", "message"]

# Every callable that binds keyword arguments, with one valid call's
# positional arguments; a keyword is added to each.
KEYWORD_CALLS: list[tuple[str, Callable[..., Any], tuple[Any, ...]]] = [
    ("SchemaEngine.__new__()", SchemaEngine, ()),
    ("SchemaEngine.build()", SchemaEngine.build, ("",)),
    ("SchemaEngine.from_tool_metadata()", SchemaEngine.from_tool_metadata, ("",)),
    ("SchemaEngine.execute()", "execute", ("{ __typename }",)),
    ("SchemaEngine.receive_tool_call()", "receive_tool_call", (0,)),
    ("SchemaEngine.respond_tool_call()", "respond_tool_call", ("tool-call-1", "1")),
    ("SchemaEngine.fail_tool_call()", "fail_tool_call", ("tool-call-1", "m")),
]


def bound(engine: SchemaEngine, target: Callable[..., Any] | str) -> Callable[..., Any]:
    return getattr(engine, target) if isinstance(target, str) else target


def assert_healthy(engine: SchemaEngine) -> None:
    """The engine answers, counts its tools and holds no stray request."""
    assert engine.execute("{ __typename }") == TYPENAME
    assert engine.tool_count() == 3
    assert engine.receive_tool_call(0) is None


@pytest.fixture
def engine() -> SchemaEngine:
    return SchemaEngine(CATALOGUE)


class TestKeywordNames:
    @pytest.mark.parametrize("name", ["\ud800", "\udfff", "a\udc80b", "\U0001f600", "nul\0name"])
    @pytest.mark.parametrize(("callable_name", "target", "args"), KEYWORD_CALLS)
    def test_unknown_keyword_is_named_in_the_message(
        self, engine: SchemaEngine, callable_name: str, target: Any, args: tuple[Any, ...], name: str
    ) -> None:
        # A name without a UTF-8 form (a lone surrogate) once crashed the
        # interpreter while the message was built.
        with pytest.raises(TypeError) as info:
            bound(engine, target)(*args, **{name: 1})
        assert str(info.value) == f"{callable_name} got an unexpected keyword argument '{name}'"
        assert_healthy(engine)


def answer_one(engine: SchemaEngine, reply: Callable[[str], bool], query: str = "{ beta_echo }") -> dict[str, Any]:
    """Runs `query` with one tool field, answers its call with `reply(request_id)`
    (which must hand the reply over) and returns the response document."""
    with attached(engine):
        done = in_thread(lambda: engine.execute(query))
        assert reply(take_request(engine)["request_id"]) is True
        return json.loads(done.result(30))  # type: ignore[no-any-return]


class Liar(str):
    """A str whose methods all claim something else: the engine must read
    the characters themselves, not ask the object."""

    def __str__(self) -> str:
        return "{ nope }"

    def __len__(self) -> int:
        return 0

    def __eq__(self, other: object) -> bool:
        return False

    __hash__ = str.__hash__

    def encode(self, *args: Any, **kwargs: Any) -> bytes:  # type: ignore[override]
        raise AssertionError("encode called")


class TestNonStrObjects:
    class Stringy:
        def __str__(self) -> str:
            return "{ __typename }"

    class Indexy:
        def __index__(self) -> int:
            return 1

    @pytest.mark.parametrize(
        "value",
        [bytearray(b"{}"), memoryview(b"{}"), ["{}"], {"q": "{}"}, True, Stringy(), Indexy(), str],
        ids=["bytearray", "memoryview", "list", "dict", "bool", "__str__", "__index__", "type"],
    )
    @pytest.mark.parametrize(("param", "optional", "call"), STR_PARAMETERS, ids=STR_IDS)
    def test_rejected_with_type_name_and_note(
        self, engine: SchemaEngine, param: str, optional: bool, call: Callable[..., Any], value: Any
    ) -> None:
        with pytest.raises(TypeError) as info:
            call(engine, value)
        assert str(info.value) == f"'{type(value).__qualname__}' object is not an instance of 'str'"
        assert info.value.__notes__ == [f"while processing '{param}'"]
        assert_healthy(engine)

    @pytest.mark.parametrize(("param", "optional", "call"), STR_PARAMETERS, ids=STR_IDS)
    def test_none(self, engine: SchemaEngine, param: str, optional: bool, call: Callable[..., Any]) -> None:
        if optional:
            call(engine, None)  # absent, as if left out
        else:
            with pytest.raises(TypeError) as info:
                call(engine, None)
            assert str(info.value) == "'None' is not an instance of 'str'"
            assert info.value.__notes__ == [f"while processing '{param}'"]
        assert_healthy(engine)


class TestStrSubclasses:
    def test_catalogue_characters_are_read(self) -> None:
        for factory in (SchemaEngine, SchemaEngine.build, SchemaEngine.from_tool_metadata):
            assert factory(Liar(CATALOGUE)).tool_count() == 3

    def test_query_and_variables_characters_are_read(self, engine: SchemaEngine) -> None:
        assert engine.execute(Liar("{ __typename }")) == TYPENAME
        doc = json.loads(engine.execute(Liar("{ beta_echo(v: $v) }"), Liar('{"v": 1}')))
        assert doc["errors"] == [] and doc["data"]["beta_echo"]["isError"] is True

    def test_reply_and_request_id_characters_are_read(self, engine: SchemaEngine) -> None:
        doc = answer_one(engine, lambda rid: engine.respond_tool_call(Liar(rid), Liar('{"b": [1]}')))
        assert doc["data"]["beta_echo"] == {"b": [1]}

    def test_failure_message_characters_are_read(self, engine: SchemaEngine) -> None:
        doc = answer_one(engine, lambda rid: engine.fail_tool_call(Liar(rid), Liar("broke")))
        assert doc["data"]["beta_echo"] == tool_error("broke")
        assert_healthy(engine)


class TestSurrogates:
    @pytest.mark.parametrize("text", ["\ud800", "\udfff", "ok\udc80ok", "\udbffx"])
    @pytest.mark.parametrize(("param", "optional", "call"), STR_PARAMETERS, ids=STR_IDS)
    def test_lone_surrogate_has_no_utf8_form(
        self, engine: SchemaEngine, param: str, optional: bool, call: Callable[..., Any], text: str
    ) -> None:
        with pytest.raises(UnicodeEncodeError) as info:
            call(engine, text)
        assert info.value.__notes__ == [f"while processing '{param}'"]
        assert_healthy(engine)

    def test_escaped_surrogates_in_json_texts(self, engine: SchemaEngine) -> None:
        # As JSON escapes, a pair is one character and a lone half is refused.
        assert json.loads(engine.execute("{ __typename }", '{"v": "\\ud83d\\ude00"}')) == json.loads(TYPENAME)
        assert json.loads(engine.execute("{ __typename }", '{"v": "\\ude00"}')) == error_doc(
            "invalid variables JSON: invalid unicode code point at line 1 column 13"
        )
        doc = answer_one(engine, lambda rid: engine.respond_tool_call(rid, '"\\ud800"'))
        assert doc["data"]["beta_echo"] == tool_error(
            "CallBridge returned invalid JSON: lone leading surrogate in hex escape at line 1 column 8"
        )
        assert_healthy(engine)


class Interrupt(BaseException):
    pass


class TestTimeouts:
    @pytest.mark.parametrize(
        ("timeout", "kind"),
        [
            (2**64 + 1, OverflowError),
            (10**400, OverflowError),
            (-(2**100), OverflowError),
            (Index(2**64), OverflowError),
            (Index(-5), OverflowError),
            (Index(3.5), TypeError),
            (Index("7"), TypeError),
            (Index(ValueError("bad index")), ValueError),
            (Index(Interrupt()), Interrupt),
            (1e3, TypeError),
            (b"\x01", TypeError),
        ],
        ids=[
            "2**64+1",
            "10**400",
            "-2**100",
            "index 2**64",
            "index -5",
            "index float",
            "index str",
            "index raises",
            "index raises BaseException",
            "float",
            "bytes",
        ],
    )
    def test_rejected_with_note(self, engine: SchemaEngine, timeout: Any, kind: type[BaseException]) -> None:
        with pytest.raises(kind) as info:
            engine.receive_tool_call(timeout)
        assert type(info.value) is kind
        assert info.value.__notes__ == ["while processing 'timeout_ms'"]
        assert_healthy(engine)

    @pytest.mark.parametrize("timeout", [False, True, Index(0), Index(1)], ids=str)
    def test_small_integer_forms_poll(self, engine: SchemaEngine, timeout: Any) -> None:
        assert engine.receive_tool_call(timeout_ms=timeout) is None

    @pytest.mark.parametrize("timeout", [2**64 - 1, 2**63, Index(2**64 - 1)], ids=["2**64-1", "2**63", "index"])
    def test_timeouts_beyond_the_clock_wait_for_a_request(self, engine: SchemaEngine, timeout: Any) -> None:
        # No deadline at all: the wait ends only when a request comes. A
        # daemon thread, so that a wait that never ends cannot hold up exit.
        received: list[str | None] = []
        waiting = threading.Thread(target=lambda: received.append(engine.receive_tool_call(timeout)), daemon=True)
        waiting.start()
        with attached(engine):
            done = in_thread(lambda: engine.execute("{ alpha_lookup }"))
            waiting.join(30)
            assert received and received[0] is not None, "the wait did not end with the request"
            request = json.loads(received[0])
            assert request["tool"] == "lookup"
            assert engine.respond_tool_call(request["request_id"], "7")
            assert json.loads(done.result(30))["data"] == {"alpha_lookup": 7}
        assert_healthy(engine)


@pytest.fixture(scope="module")
def blob() -> str:
    return "x" * HUNDRED_MB


class TestHugeTexts:
    """100 MB texts in every place; each is copied a few times, so a test
    peaks well under a gigabyte."""

    def test_catalogue(self, blob: str) -> None:
        engine = SchemaEngine('{"server": "s", "name": "t", "description": "' + blob + '"}')
        assert engine.tool_count() == 1
        search = json.loads(engine.execute("{ search }"))["data"]["search"]
        assert search[0]["description"] == blob
        assert SchemaEngine(" \n" * (HUNDRED_MB // 2)).tool_count() == 0
        with pytest.raises(
            ValueError, match=r"^invalid catalogue JSON: EOF while parsing a string at line 1 column 104857607$"
        ):
            SchemaEngine('{"a": "' + blob)

    def test_query(self, engine: SchemaEngine, blob: str) -> None:
        assert json.loads(engine.execute(" " * HUNDRED_MB)) == error_doc("GraphQL query must not be blank")
        assert json.loads(engine.execute("#" + blob)) == error_doc("expected GraphQL name, found end of input")
        assert json.loads(engine.execute('{ beta_echo(s: "' + blob + '") }'))["errors"] == []
        assert json.loads(engine.execute("{ __typename " + "{" * HUNDRED_MB + " }")) == error_doc(
            "unterminated GraphQL balanced block: {"
        )
        assert_healthy(engine)

    def test_variables(self, engine: SchemaEngine, blob: str) -> None:
        with attached(engine):
            done = in_thread(lambda: engine.execute("{ beta_echo(s: $s) }", '{"s": "' + blob + '"}'))
            request = take_request(engine, 30)
            assert request["arguments"]["s"] == blob
            assert engine.respond_tool_call(request["request_id"], "null")
            assert json.loads(done.result(30))["data"] == {"beta_echo": None}
        assert json.loads(engine.execute("{ __typename }", '{"s": "' + blob)) == error_doc(
            "invalid variables JSON: EOF while parsing a string at line 1 column 104857607"
        )
        assert_healthy(engine)

    def test_reply_and_failure_message(self, engine: SchemaEngine, blob: str) -> None:
        doc = answer_one(engine, lambda rid: engine.respond_tool_call(rid, '"' + blob + '"'))
        assert doc["data"]["beta_echo"] == blob
        doc = answer_one(engine, lambda rid: engine.respond_tool_call(rid, " " * HUNDRED_MB + "[]"))
        assert doc["data"]["beta_echo"] == []
        doc = answer_one(engine, lambda rid: engine.fail_tool_call(rid, blob))
        assert doc["data"]["beta_echo"] == tool_error(blob)
        assert_healthy(engine)

    def test_request_id(self, engine: SchemaEngine, blob: str) -> None:
        assert engine.respond_tool_call(blob, "1") is False
        assert engine.fail_tool_call("tool-call-" + "1" * HUNDRED_MB, "m") is False
        assert_healthy(engine)


class TestDeepNesting:
    """A million brackets wherever nesting is read; 127 levels are the most
    any JSON text or GraphQL argument value may nest."""

    @pytest.mark.parametrize(
        ("text", "column"),
        [
            ("[" * MILLION, 128),
            ("[" * MILLION + "]" * MILLION, 128),
            ('{"a":' * MILLION, 636),
            ('{"tools":[' * MILLION, 640),
            ("[" * 127 + "]" * 127, None),
            ("[" * 128 + "]" * 128, 128),
        ],
        ids=["open", "closed", "objects", "tools", "127", "128"],
    )
    def test_catalogue(self, text: str, column: int | None) -> None:
        if column is None:
            assert SchemaEngine(text).tool_count() == 0
            return
        with pytest.raises(ValueError) as info:
            SchemaEngine.build(text)
        assert str(info.value) == f"invalid catalogue JSON: recursion limit exceeded at line 1 column {column}"

    @pytest.mark.parametrize(
        ("text", "message"),
        [
            ("[" * MILLION, "invalid variables JSON: recursion limit exceeded at line 1 column 128"),
            ('{"v":' + "[" * MILLION, "invalid variables JSON: recursion limit exceeded at line 1 column 132"),
            ('{"v":' + "[" * 126 + "]" * 126 + "}", None),
        ],
        ids=["array", "member", "126 inside the object"],
    )
    def test_variables(self, engine: SchemaEngine, text: str, message: str | None) -> None:
        doc = json.loads(engine.execute("{ __typename }", text))
        assert doc == (json.loads(TYPENAME) if message is None else error_doc(message))

    @pytest.mark.parametrize(
        ("query", "message"),
        [
            (
                "{ beta_echo(x: " + "[" * MILLION + "]" * MILLION + ") }",
                "GraphQL argument value nesting exceeds 127 levels",
            ),
            ("{ beta_echo(x: " + "{a: " * MILLION + ") }", "GraphQL argument value nesting exceeds 127 levels"),
            ("{ beta_echo(x: " + "[" * 128 + "]" * 128 + ") }", "GraphQL argument value nesting exceeds 127 levels"),
            ("{ beta_echo(x: " + "[" * 127 + "]" * 127 + ") }", None),
            ("{ beta_echo " + "{" * MILLION + "}" * MILLION + " }", None),
            ("{ beta_echo " + "{" * MILLION + " }", "unterminated GraphQL balanced block: {"),
            ("query (" + "(" * MILLION + ")" * MILLION + ") { beta_echo }", None),
            ("{ beta_echo @d" + "(" * MILLION + ")" * MILLION + " }", None),
            ("{ beta_echo @d" + "(" * MILLION + " }", "unterminated GraphQL balanced block: ("),
        ],
        ids=[
            "list",
            "object",
            "128 levels",
            "127 levels",
            "sub-selection",
            "unclosed sub-selection",
            "variable definitions",
            "directive",
            "unclosed directive",
        ],
    )
    def test_query(self, engine: SchemaEngine, query: str, message: str | None) -> None:
        doc = json.loads(engine.execute(query))
        if message is None:
            assert doc["errors"] == [] and doc["data"]["beta_echo"]["isError"] is True
        else:
            assert doc == error_doc(message)
        assert_healthy(engine)

    def test_variable_inside_a_deep_list_reaches_the_host(self, engine: SchemaEngine) -> None:
        # Each bound holds on its own, so a deep variable inside a deep
        # literal list gives a value deeper than either; the host gets it.
        deep = "[" * 126 + "]" * 126
        with attached(engine):
            done = in_thread(
                lambda: engine.execute("{ beta_echo(x: " + "[" * 126 + "$v" + "]" * 126 + ") }", '{"v": ' + deep + "}")
            )
            value, depth = take_request(engine)["arguments"]["x"], 0
            while isinstance(value, list):
                value, depth = (value[0] if value else None), depth + 1
            assert depth == 126 + 126
            engine.detach_call_bridge()
            assert json.loads(done.result(30))["data"]["beta_echo"] == tool_error("CallBridge is detached")
        assert_healthy(engine)

    @pytest.mark.parametrize(
        ("reply", "text"),
        [
            ("[" * MILLION, "CallBridge returned invalid JSON: recursion limit exceeded at line 1 column 128"),
            ('{"a":' * MILLION, "CallBridge returned invalid JSON: recursion limit exceeded at line 1 column 636"),
        ],
        ids=["array", "object"],
    )
    def test_reply(self, engine: SchemaEngine, reply: str, text: str) -> None:
        doc = answer_one(engine, lambda rid: engine.respond_tool_call(rid, reply))
        assert doc["data"]["beta_echo"] == tool_error(text)
        assert_healthy(engine)

    def test_reply_127_deep_is_a_value(self, engine: SchemaEngine) -> None:
        doc = answer_one(engine, lambda rid: engine.respond_tool_call(rid, "[" * 127 + "]" * 127))
        value, depth = doc["data"]["beta_echo"], 0
        while isinstance(value, list):
            value, depth = (value[0] if value else None), depth + 1
        assert depth == 127


class TestNulBytes:
    def test_in_the_query(self, engine: SchemaEngine) -> None:
        assert json.loads(engine.execute("{ a\0 }")) == error_doc("expected GraphQL name, found \0")
        assert json.loads(engine.execute("\0{ a }")) == error_doc("expected GraphQL name, found \0")
        assert json.loads(engine.execute('{ beta_echo(s: "a\0b") }')) == error_doc(
            "invalid GraphQL string literal: control character (\\u0000-\\u001F) found while parsing a string"
            " at line 1 column 3"
        )
        # Skipped text may hold anything.
        assert engine.execute("# \0\n{ __typename { \0 } }") == TYPENAME
        assert_healthy(engine)

    def test_in_json_texts(self, engine: SchemaEngine) -> None:
        assert json.loads(engine.execute("{ __typename }", '{"v": "\0"}')) == error_doc(
            "invalid variables JSON: control character (\\u0000-\\u001F) found while parsing a string at line 1 column 8"
        )
        with pytest.raises(ValueError, match=r"^invalid catalogue JSON: trailing characters at line 1 column 3$"):
            SchemaEngine("[]\0")
        doc = answer_one(engine, lambda rid: engine.respond_tool_call(rid, "1\0"))
        assert doc["data"]["beta_echo"] == tool_error(
            "CallBridge returned invalid JSON: trailing characters at line 1 column 2"
        )

    def test_escaped_in_names_and_values(self) -> None:
        engine = SchemaEngine('{"server": "a\\u0000b", "name": "x\\u0000"}')
        assert json.loads(engine.execute("{ search }"))["data"]["search"][0]["field"] == "a_b_x_"
        with attached(engine):
            done = in_thread(lambda: engine.execute("{ a_b_x_(s: $s) }", '{"s": "\\u0000"}'))
            request = take_request(engine)
            assert (request["server"], request["tool"], request["arguments"]) == ("a\0b", "x\0", {"s": "\0"})
            assert engine.fail_tool_call(request["request_id"], "nul \0 inside")
            assert json.loads(done.result(30))["data"] == {"a_b_x_": tool_error("nul \0 inside")}
        assert json.loads(engine.execute("{ a_b_x_ }"))["data"]["a_b_x_"] == tool_error(
            "SchemaEngine stub resolved a\0b.x\0 but CallBridge is not wired yet"
        )


class TestRequestIds:
    BAD_IDS: ClassVar = [
        "",
        "tool-call-",
        "tool-call-0",
        "tool-call-01",
        "tool-call-1 ",
        " tool-call-1",
        "TOOL-CALL-1",
        "tool-call-+1",
        "tool-call--1",
        "tool-call-1\0",
        "tool-call-\uff11",
        "\ufefftool-call-1",
        "tool-call-18446744073709551617",
        "tool-call-" + "9" * 400,
    ]

    @pytest.mark.parametrize("answer", ["respond", "fail"])
    def test_wrong_ids_leave_the_waiting_call_alone(self, engine: SchemaEngine, answer: str) -> None:
        with attached(engine):
            done = in_thread(lambda: engine.execute("{ beta_echo }"))
            request_id = take_request(engine)["request_id"]
            assert request_id == "tool-call-1"
            for bad in [*self.BAD_IDS, "tool-call-2"]:  # tool-call-2 is not issued yet
                assert engine.respond_tool_call(bad, "1") is False
                assert engine.fail_tool_call(bad, "m") is False
            assert not done.done()
            if answer == "respond":
                assert engine.respond_tool_call(request_id, '"right"')
                assert json.loads(done.result(30))["data"] == {"beta_echo": "right"}
            else:
                assert engine.fail_tool_call(request_id, "wrong")
                assert json.loads(done.result(30))["data"] == {"beta_echo": tool_error("wrong")}
        assert_healthy(engine)

    def test_ids_of_other_engines_and_earlier_calls(self, engine: SchemaEngine) -> None:
        other = SchemaEngine(CATALOGUE)
        doc = answer_one(engine, lambda rid: engine.respond_tool_call(rid, "1"))
        assert doc["data"] == {"beta_echo": 1}
        # Answered already, and never issued by the other engine.
        assert engine.respond_tool_call("tool-call-1", "2") is False
        assert other.respond_tool_call("tool-call-1", "2") is False
        assert other.fail_tool_call("tool-call-1", "m") is False
        # The next call carries on counting, untouched by the stray answers.
        with attached(engine):
            done = in_thread(lambda: engine.execute("{ beta_echo }"))
            assert take_request(engine)["request_id"] == "tool-call-2"
            engine.respond_tool_call("tool-call-2", "3")
            assert json.loads(done.result(30))["data"] == {"beta_echo": 3}
        assert_healthy(engine)
        assert_healthy(other)

    def test_replies_racing_a_detach(self, engine: SchemaEngine) -> None:
        # Answers that lose against a detach are refused, never misdelivered.
        for _ in range(50):
            with attached(engine):
                done = in_thread(lambda: engine.execute("{ a: beta_echo b: alpha_lookup }"))
                ids = [take_request(engine)["request_id"] for _ in range(2)]
                racer = threading.Thread(target=engine.detach_call_bridge)
                racer.start()
                answered = [engine.respond_tool_call(rid, f'"{rid}"') for rid in ids]
                racer.join(10)
                data = json.loads(done.result(30))["data"]
            for key, rid, ok in zip(("a", "b"), ids, answered, strict=True):
                assert data[key] == (rid if ok else tool_error("CallBridge is detached"))
        assert_healthy(engine)
