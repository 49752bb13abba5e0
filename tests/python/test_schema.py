import json
import threading
from typing import Any

import pytest
from graphql import build_client_schema, get_introspection_query, parse, print_schema, print_type, validate
from support import attached, take_request

from zarn import SchemaEngine
from zarn.introspection import answer_introspection
from zarn.schema import GeneratedSchema, build_schema, engine_tools, schema_sdl
from zarn.toolspec import ToolSpec

PROPERTY_TYPES = [
    ({"type": "string"}, False, "String"),
    ({"type": "string"}, True, "String!"),
    ({"type": "integer"}, True, "Int!"),
    ({"type": "integer", "minimum": 0, "maximum": 2**31 - 1}, False, "Int"),
    ({"type": "integer", "maximum": 2**31}, False, "Long"),
    ({"type": "integer", "format": "int64"}, True, "Long!"),
    ({"type": "number"}, False, "Float"),
    ({"type": "boolean"}, True, "Boolean!"),
    ({"type": "object", "properties": {"a": {"type": "string"}}}, True, "JSON!"),
    ({}, True, "JSON"),
    ({"type": ["string", "null"]}, True, "String"),
    ({"type": ["string", "integer"]}, True, "JSON!"),
    ({"anyOf": [{"type": "integer"}, {"type": "null"}]}, True, "Int"),
    ({"anyOf": [{"type": "integer"}, {"type": "string"}]}, True, "JSON!"),
    ({"oneOf": [{"$ref": "#/$defs/Mode"}]}, True, "t_x!"),
    ({"type": "string", "anyOf": [{"minLength": 1}, {"pattern": "a"}]}, True, "String!"),
    ({"type": "array", "items": {"type": "string"}}, True, "[String!]!"),
    ({"type": "array", "items": {"type": ["number", "null"]}}, False, "[Float]"),
    ({"type": "array", "items": {"type": "array", "items": {"type": "boolean"}}}, False, "[[Boolean!]!]"),
    ({"type": "array"}, False, "[JSON]"),
    ({"enum": ["fast", "full"]}, True, "t_x!"),
    ({"enum": ["fast", None]}, True, "t_x"),
    ({"enum": ["text/plain", "fast"]}, True, "String!"),
    ({"enum": ["true", "fast"]}, True, "String!"),
    ({"enum": [1, 2]}, True, "Int!"),
    ({"const": True}, True, "Boolean!"),
    ({"$ref": "#/$defs/Mode"}, False, "t_x"),
    ({"$ref": "#/$defs/Loop"}, True, "JSON"),
    ({"$ref": "https://elsewhere/schema.json"}, True, "JSON"),
    ({"type": "string", "nullable": True}, True, "String"),
]
DEFS = {"Mode": {"enum": ["a", "b"]}, "Loop": {"$ref": "#/$defs/Loop"}}


def tool(name: str, server: str = "s", read_only: bool = True, schema: dict[str, Any] | None = None) -> ToolSpec:
    return ToolSpec(server, name, f"{server}_{name}", f"Does {name}", read_only, schema)


@pytest.mark.parametrize(("schema", "required", "expected"), PROPERTY_TYPES)
def test_argument_types(schema: dict[str, Any], required: bool, expected: str) -> None:
    input_schema = {"type": "object", "properties": {"x": schema}, "required": ["x"] if required else [], "$defs": DEFS}
    graphql_schema = build_schema([ToolSpec("s", "t", "t", "", True, input_schema)])
    argument = graphql_schema.query_type.fields["t"].args["x"]  # type: ignore[union-attr]
    assert str(argument.type) == expected


def test_fields_follow_the_engine() -> None:
    tools = [
        tool("a", read_only=False, schema={"properties": {"path": {"type": "string", "description": "Where"}}}),
        ToolSpec("t", "a", "s_a", "Second of two colliding fields", True, None),
        ToolSpec("_", "typename", "__typename", "", True, None),
        ToolSpec("_", "schema", "__schema", "", True, None),
        ToolSpec("x", "y", "servers", "", True, None),
        tool("b", schema={"properties": {"file-path": {}, "__x": {}, "ok": {"type": "string"}}}),
    ]
    query = build_schema(tools).query_type
    assert query is not None
    assert list(query.fields) == ["servers", "search", "s_a", "s_b"]
    assert query.fields["s_a"].description == ('Does a\n\nTool "a" of server "s". Not read-only: it may change state.')
    assert query.fields["s_a"].args["path"].description == "Where"
    assert list(query.fields["s_b"].args) == ["ok"]
    assert query.fields["s_b"].description == (
        'Does b\n\nTool "b" of server "s". Read-only.\n\n'
        "Input properties that are not GraphQL names, and cannot be passed: file-path, __x."
    )
    sdl = schema_sdl(tools)
    assert "  servers: [ServerSummary!]!\n" in sdl and "  search: [SearchEntry!]!\n" in sdl


def test_builtin_types_have_the_members_the_engine_writes(engine: SchemaEngine) -> None:
    schema = GeneratedSchema.for_engine(engine).schema
    entries = json.loads(engine.execute("{ servers search }"))["data"]
    for name, entry in (("ServerSummary", entries["servers"][0]), ("SearchEntry", entries["search"][0])):
        assert list(schema.type_map[name].fields) == list(entry)  # type: ignore[attr-defined]


def test_client_schema_from_introspection_gives_back_the_sdl(engine: SchemaEngine) -> None:
    properties = {f"p{i}": schema for i, (schema, _, _) in enumerate(PROPERTY_TYPES)}
    inputs = {("alpha", "lookup"): {"type": "object", "properties": properties, "required": ["p1"], "$defs": DEFS}}
    generated = GeneratedSchema.for_engine(engine, input_schemas=inputs)
    text = answer_introspection(generated, parse(get_introspection_query(descriptions=True)))
    client = build_client_schema(json.loads(text)["data"])
    assert print_schema(client) == generated.sdl
    assert "Its input schema is not known" in print_type(client.type_map["Query"])


def test_engine_tools_take_input_schemas_by_catalogue_names(engine: SchemaEngine) -> None:
    specs = engine_tools(engine, {("alpha", "store"): {"type": "object"}})
    assert [(s.server, s.name, s.field, s.read_only, s.input_schema) for s in specs] == [
        ("alpha", "lookup", "alpha_lookup", True, None),
        ("alpha", "store", "alpha_store", False, {"type": "object"}),
        ("beta", "echo", "beta_echo", True, None),
    ]
    with pytest.raises(ValueError, match="input schema given for tool nope of server alpha, which the catalogue"):
        engine_tools(engine, {("alpha", "nope"): {}})


# What a client validates against the schema is what the tool receives through the engine.
ACCEPTED = [
    ({"type": "string", "enum": ["fast", "full"]}, "fast", "fast"),
    ({"type": "integer", "format": "uint64"}, str(2**64 - 1), 2**64 - 1),
    ({"type": "integer", "format": "int64"}, str(-(2**63)), -(2**63)),
    ({"type": "array", "items": {"type": "number"}}, "[1, 2.5]", [1, 2.5]),
    ({"type": "object"}, '{a: [1, "b", null], c: {d: true}}', {"a": [1, "b", None], "c": {"d": True}}),
]
REJECTED = [
    ({"type": "string", "enum": ["fast", "full"]}, "slow"),
    ({"type": "integer"}, str(2**31)),
    ({"type": "integer", "format": "int64"}, str(2**64)),
    ({"type": "integer", "format": "int64"}, "1.5"),
    ({"type": "array", "items": {"type": "string"}}, "[null]"),
]


def _schema_for(engine: SchemaEngine, prop: dict[str, Any]) -> GeneratedSchema:
    inputs = {("alpha", "lookup"): {"type": "object", "properties": {"x": prop}}}
    return GeneratedSchema.for_engine(engine, input_schemas=inputs)


@pytest.mark.parametrize(("prop", "literal", "received"), ACCEPTED)
def test_valid_arguments_reach_the_tool_as_written(
    engine: SchemaEngine, prop: dict[str, Any], literal: str, received: Any
) -> None:
    query = f"{{ alpha_lookup(x: {literal}) }}"
    assert validate(_schema_for(engine, prop).schema, parse(query)) == []
    with attached(engine):
        done = threading.Thread(target=engine.execute, args=(query,))
        done.start()
        request = take_request(engine)
        engine.respond_tool_call(request["request_id"], "null")
        done.join()
    assert request["arguments"] == {"x": received}


@pytest.mark.parametrize(("prop", "literal"), REJECTED)
def test_arguments_the_engine_would_not_pass_on_fail_validation(
    engine: SchemaEngine, prop: dict[str, Any], literal: str
) -> None:
    assert validate(_schema_for(engine, prop).schema, parse(f"{{ alpha_lookup(x: {literal}) }}"))


def test_demo_input_schemas_cover_the_sample_catalogue() -> None:
    from zarn import sample_catalogue
    from zarn.demo import demo_handlers, demo_input_schemas

    assert demo_input_schemas().keys() == demo_handlers().keys()
    generated = GeneratedSchema.for_engine(SchemaEngine(sample_catalogue()), input_schemas=demo_input_schemas())
    assert "  files_read_file(path: String!): JSON\n" in generated.sdl
    assert "  weather_forecast(city: String, days: Int): JSON\n" in generated.sdl
