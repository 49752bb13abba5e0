"""Text arguments are read from the str's own storage (Latin-1, UCS-2 or UCS-4):
every text reaches the engine as str.encode("utf-8") would give it, a text
without a UTF-8 form fails exactly as str.encode fails, and the str is left as
it was (no UTF-8 form cached on it).
"""

import json
import sys
from collections.abc import Callable
from typing import Any

import pytest
from support import attached, in_thread, take_request

from zarn._graphql import SchemaEngine

TEXTS = {
    "empty": "",
    "ascii": "plain text, 0x7f: \x7f",
    "latin1": "café \x80 \xa0\xff ÿ",
    "ucs2": "— ж 中 \u0100 \u07ff \u0800 \ud7ff \ue000 \uffff",
    "ucs4": "🚀 \U00010000 \U0010ffff 𝄞 é ж",
    "mixed": ("ж" * 100 + "a" * 200 + "🚀 é") * 50,
    "huge latin1": "é" * (3 << 20),
    "huge ucs2": ("ascii " * 10 + "— ж 中 ") * 100_000,
    "huge ucs4": "🚀" * (1 << 20),
}


def fresh(text: str) -> str:
    """A new str equal to `text`, with nothing cached on it."""
    return text.encode("utf-8").decode("utf-8")


def untouched(text: str) -> Callable[[], None]:
    """A check that `text` still has the size it has now: CPython counts a
    cached UTF-8 form in sys.getsizeof."""
    size = sys.getsizeof(text)
    return lambda: None if sys.getsizeof(text) == size else pytest.fail("a UTF-8 form was cached on the str")


def catalogue(description: str) -> str:
    # The engine trims descriptions: the brackets keep the text whole.
    return json.dumps([{"server": "beta", "tools": [{"name": "echo", "description": f"<{description}>"}]}])


@pytest.mark.parametrize("text", TEXTS.values(), ids=TEXTS.keys())
def test_every_text_argument_arrives_as_its_utf8_form(text: str) -> None:
    checks = []

    def passed(value: str) -> str:
        copy = fresh(value)
        checks.append(untouched(copy))
        return copy

    engine = SchemaEngine(passed(catalogue(text)))
    search = json.loads(engine.execute("{ search }"))["data"]["search"]
    assert search[0]["description"] == f"<{text}>"
    literal = json.dumps(text, ensure_ascii=False)
    query = "query ($v: JSON) { beta_echo(q: " + literal + ", v: $v) }"
    with attached(engine):
        pending = in_thread(lambda: engine.execute(passed(query), passed(json.dumps({"v": text}, ensure_ascii=False))))
        request = take_request(engine)
        assert request["arguments"] == {"q": text, "v": text}
        assert engine.respond_tool_call(passed(request["request_id"]), passed(json.dumps(text, ensure_ascii=False)))
        assert json.loads(pending.result(30)) == {"data": {"beta_echo": text}, "errors": []}

        pending = in_thread(lambda: engine.execute("{ beta_echo }"))
        request = take_request(engine)
        assert engine.fail_tool_call(passed(request["request_id"]), passed(text))
        failed = {"isError": True, "json": None, "text": text}
        assert json.loads(pending.result(30)) == {"data": {"beta_echo": failed}, "errors": []}
    for check in checks:
        check()


# Every str parameter, called with `value` in its place.
STR_PARAMETERS: list[tuple[str, Callable[[SchemaEngine, str], Any]]] = [
    ("catalogue_json", lambda e, v: SchemaEngine(v)),
    ("catalogue_json", lambda e, v: SchemaEngine.build(v)),
    ("catalogue_json", lambda e, v: SchemaEngine.from_tool_metadata(v)),
    ("query", lambda e, v: e.execute(v)),
    ("variables_json", lambda e, v: e.execute("{ __typename }", v)),
    ("request_id", lambda e, v: e.respond_tool_call(v, "1")),
    ("result_json", lambda e, v: e.respond_tool_call("tool-call-1", v)),
    ("request_id", lambda e, v: e.fail_tool_call(v, "m")),
    ("message", lambda e, v: e.fail_tool_call("tool-call-1", v)),
]
STR_IDS = ["new", "build", "from_tool_metadata", "query", "variables", "respond_id", "result", "fail_id", "message"]

# What a surrogate is stored beside: each makes the str of another kind.
FILLERS = {"ascii": "a", "latin1": "é", "ucs2": "ж", "ucs4": "🚀"}
# A high and a low surrogate stored as two code points (never one astral
# character), lone halves, and runs.
SURROGATES = ["\ud83d\ude00", "\ud800", "\udfff", "\udc00\ud800", "\ud800\ud800\udbff"]


def encode_error(text: str) -> UnicodeEncodeError:
    with pytest.raises(UnicodeEncodeError) as info:
        text.encode("utf-8")
    return info.value


@pytest.mark.parametrize("filler", FILLERS.values(), ids=FILLERS.keys())
@pytest.mark.parametrize(("param", "call"), STR_PARAMETERS, ids=STR_IDS)
def test_surrogates_fail_as_str_encode_fails(param: str, call: Callable[[SchemaEngine, str], Any], filler: str) -> None:
    engine = SchemaEngine()
    # Every position of a text longer than the blocks the engine scans in,
    # with a second surrogate further on: the first run is the one reported.
    size = 140
    for surrogate in SURROGATES:
        for at in range(size - len(surrogate) + 1):
            text = filler * at + surrogate + filler * (size - at - len(surrogate))
            if at + len(surrogate) + 2 < size:
                text = text[:-1] + "\udc80"
            expected = encode_error(text)
            with pytest.raises(UnicodeEncodeError) as info:
                call(engine, text)
            got = info.value
            assert got.object is text
            assert (got.args, str(got), got.start, got.end) == (expected.args, str(expected), at, at + len(surrogate))
            assert got.__notes__ == [f"while processing '{param}'"]
    assert engine.execute("{ __typename }") == '{"data":{"__typename":"Query"},"errors":[]}'


def test_a_str_subclass_is_read_from_its_storage() -> None:
    class Text(str):
        pass

    engine = SchemaEngine(Text(catalogue("ж 🚀")))
    assert json.loads(engine.execute(Text("{ search }")))["data"]["search"][0]["description"] == "<ж 🚀>"
    bad = Text("ж\ud800")
    with pytest.raises(UnicodeEncodeError) as info:
        engine.execute(bad)
    assert info.value.object is bad and (info.value.start, info.value.end) == (1, 2)
