import json

import pytest

from zarn._graphql import SchemaEngine


def placeholder(server: str, tool: str) -> dict[str, object]:
    return {
        "isError": True,
        "json": None,
        "text": f"SchemaEngine stub resolved {server}.{tool} but CallBridge is not wired yet",
    }


def error(message: str) -> str:
    return json.dumps({"data": None, "errors": [{"message": message}]}, separators=(",", ":"), ensure_ascii=False)


@pytest.mark.parametrize(
    ("query", "variables", "message"),
    [
        ("", None, "GraphQL query must not be blank"),
        ("  \n\u3000", "{", "GraphQL query must not be blank"),
        ("{ a }", "null", "variables_json must decode to a JSON object"),
        ("{ a }", "\u00a0{}", "invalid variables JSON: expected value at line 1 column 1"),
        ("{ a }", '{"a": 1} x', "invalid variables JSON: trailing characters at line 1 column 10"),
        ("# comment", None, "expected GraphQL name, found end of input"),
        ("\ufeff{ a }", None, "expected GraphQL name, found \u00ef"),
        ("{ alpha_lookup nope }", None, "unknown GraphQL field: nope"),
        ("{ ...F }", None, "GraphQL fragments are not supported by zarn-lite yet"),
        ("{ a", None, "unterminated GraphQL selection set"),
        ("query", None, "expected {, found end of input"),
        ('{ alpha_lookup(q: "\\q") }', None, "invalid GraphQL string literal: invalid escape at line 1 column 3"),
        ("{}", None, "GraphQL query must select at least one top-level field"),
    ],
)
def test_error_documents(engine: SchemaEngine, query: str, variables: str | None, message: str) -> None:
    assert engine.execute(query, variables) == error(message)


def test_success_document_shapes(engine: SchemaEngine) -> None:
    assert engine.execute("{ __typename }") == '{"data":{"__typename":"Query"},"errors":[]}'
    assert engine.execute("{ b: __typename a: __typename }") == '{"data":{"a":"Query","b":"Query"},"errors":[]}'
    doc = json.loads(engine.execute("{ servers { name } search(q: 1) }"))
    assert doc["errors"] == []
    assert [s["name"] for s in doc["data"]["servers"]] == ["alpha", "beta"]
    assert doc["data"]["servers"][0] == {
        "description": "First server",
        "name": "alpha",
        "readOnlyCount": 1,
        "toolCount": 2,
    }
    assert [h["field"] for h in doc["data"]["search"]] == ["alpha_lookup", "alpha_store", "beta_echo"]


def test_placeholders_while_detached(engine: SchemaEngine) -> None:
    doc = json.loads(engine.execute("query($v: Int) { x: alpha_lookup(id: $v) beta_echo }", '{"v": 3}'))
    assert doc == {
        "data": {"beta_echo": placeholder("beta", "echo"), "x": placeholder("alpha", "lookup")},
        "errors": [],
    }
    assert engine.receive_tool_call(0) is None


def test_keyword_arguments_and_none_variables(engine: SchemaEngine) -> None:
    assert engine.execute(query="{ __typename }", variables_json=None) == engine.execute("{ __typename }")


def test_non_ascii_text_is_written_raw(engine: SchemaEngine) -> None:
    out = engine.execute("{ é }")
    assert out == error("expected GraphQL name, found \u00c3")
    assert "\\u" not in out


# Texts are copied before the interpreter lock is released: short ones into
# the call's own buffer, longer ones onto the heap. Either way, and at the
# boundary between them, the answer is the same.
@pytest.mark.parametrize("length", [0, 1, 200, 511, 512, 513, 4096])
def test_texts_of_any_length_read_the_same(engine: SchemaEngine, length: int) -> None:
    padding = " " * length
    query = "query($v: Int) {" + padding + " x: alpha_lookup(id: $v) __typename }"
    variables = '{"v": 3,' + padding + '"w": "' + "é" * (length // 2) + '"}'
    expected = json.dumps(
        {"data": {"__typename": "Query", "x": placeholder("alpha", "lookup")}, "errors": []},
        separators=(",", ":"),
        sort_keys=True,
    )
    assert engine.execute(query, variables) == expected
    assert engine.execute(query + "#" + "c" * length, variables) == expected
