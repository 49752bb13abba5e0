"""The GraphQL schema that GraphQL tooling reads: the built-in fields and one field per reachable tool.

The engine itself knows no schema types; this module describes in GraphQL's
own terms what it answers, for introspection, code generators and the
explorer. A tool field returns the `JSON` scalar, is described by the tool's
description (with whether it is read-only) and has one argument per property
of the tool's input schema (typed by `zarn.input_types`). A tool without an
input schema declares no arguments: GraphQL cannot declare "any arguments",
and inventing a catch-all argument would send the tool a shape it never asked
for. For a bare engine, give the input schemas you know to `engine_tools`.
"""

from __future__ import annotations

import json
import logging
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any

from graphql import (
    GraphQLBoolean,
    GraphQLField,
    GraphQLInt,
    GraphQLList,
    GraphQLNonNull,
    GraphQLObjectType,
    GraphQLSchema,
    GraphQLString,
    print_schema,
)

from zarn._graphql import SchemaEngine
from zarn.input_types import JSON, ArgumentTyper, is_graphql_name
from zarn.toolspec import BUILT_IN_FIELDS, ToolSpec

__all__ = ["BUILT_IN_FIELDS", "GeneratedSchema", "build_schema", "engine_tools", "schema_sdl"]

logger = logging.getLogger(__name__)


def _members(**fields: tuple[Any, str]) -> dict[str, GraphQLField]:
    return {name: GraphQLField(GraphQLNonNull(kind), description=text) for name, (kind, text) in fields.items()}


# Members as the engine writes the entries: every one always present, in byte order of the keys.
SERVER_SUMMARY = GraphQLObjectType(
    "ServerSummary",
    lambda: _members(
        description=(GraphQLString, "The server's description; empty when the catalogue gives none."),
        name=(GraphQLString, "The server's name."),
        readOnlyCount=(GraphQLInt, "How many of its tools are read-only."),
        toolCount=(GraphQLInt, "How many tools it offers."),
    ),
    description="One tool server of the catalogue.",
)
SEARCH_ENTRY = GraphQLObjectType(
    "SearchEntry",
    lambda: _members(
        description=(GraphQLString, "The tool's description; empty when the catalogue gives none."),
        field=(GraphQLString, "The GraphQL field that calls the tool."),
        readOnly=(GraphQLBoolean, "Whether the tool only reads (false: it may change state)."),
        server=(GraphQLString, "The name of the tool's server."),
        tool=(GraphQLString, "The tool's own name."),
    ),
    description="One tool of the catalogue.",
)


def build_schema(tools: Iterable[ToolSpec]) -> GraphQLSchema:
    """The schema for `tools`, given in catalogue order.

    Of tools whose fields collide, the first is the one the engine answers and
    the only one declared; a tool whose field is a built-in's is shadowed by it,
    and one whose field a schema cannot declare (a name with "__" in front) is
    left out.
    """
    typer = ArgumentTyper()
    fields: dict[str, GraphQLField] = {
        "servers": GraphQLField(
            _list_of(SERVER_SUMMARY), description="The catalogue's tool servers, in byte order of their names."
        ),
        "search": GraphQLField(_list_of(SEARCH_ENTRY), description="Every tool of the catalogue, in catalogue order."),
    }
    for tool in tools:
        if tool.field in BUILT_IN_FIELDS or tool.field in fields:
            continue
        if not is_graphql_name(tool.field):
            logger.warning(
                "tool %s of server %s is left out of the schema: its field %s cannot be declared",
                tool.name,
                tool.server,
                tool.field,
            )
            continue
        schema = tool.input_schema
        arguments, skipped = typer.arguments(tool.field, schema) if schema is not None else ({}, [])
        fields[tool.field] = GraphQLField(JSON, arguments, description=_description(tool, skipped))
    query = GraphQLObjectType("Query", fields, description="Every top-level field that the engine answers.")
    return GraphQLSchema(query, types=[JSON])


def schema_sdl(
    source: SchemaEngine | Iterable[ToolSpec],
    *,
    input_schemas: Mapping[tuple[str, str], Mapping[str, Any]] | None = None,
) -> str:
    """The schema in the GraphQL schema definition language: of `tools` (a gateway's, say), or of
    an engine's catalogue with the `input_schemas` of its tools (see `engine_tools`)."""
    if isinstance(source, SchemaEngine):
        return print_schema(build_schema(engine_tools(source, input_schemas)))
    if input_schemas is not None:
        raise ValueError("input_schemas apply only to an engine's catalogue; put them in the ToolSpecs")
    return print_schema(build_schema(source))


def engine_tools(
    engine: SchemaEngine, input_schemas: Mapping[tuple[str, str], Mapping[str, Any]] | None = None
) -> tuple[ToolSpec, ...]:
    """The tools of a bare engine, in catalogue order, as its `search` field lists them.

    The engine keeps no input schemas; `input_schemas` maps a (server, tool)
    pair, in the catalogue's own names, to the JSON Schema of the tool's input,
    so that its arguments are declared. A pair that names no tool is an error.
    """
    entries = _catalogue(engine)["search"]
    schemas = dict(input_schemas or {})
    unknown = schemas.keys() - {(entry["server"], entry["tool"]) for entry in entries}
    if unknown:
        server, tool = sorted(unknown)[0]
        raise ValueError(f"input schema given for tool {tool} of server {server}, which the catalogue does not have")
    return tuple(
        ToolSpec(
            server=entry["server"],
            name=entry["tool"],
            field=entry["field"],
            description=entry["description"],
            read_only=entry["readOnly"],
            input_schema=schemas.get((entry["server"], entry["tool"])),
        )
        for entry in entries
    )


@dataclass(frozen=True, slots=True, eq=False)
class GeneratedSchema:
    """An engine's schema, built once by whoever holds the engine (a `SchemaEngine` takes no weak
    references, so no cache beside it could key on it without keeping it alive).

    `catalogue` holds the values of the built-in fields, `{"servers": [...],
    "search": [...]}`, as the engine answers them; `tool_fields` maps each
    declared tool field to its tool. `answers` keeps the latest introspection
    answers (`zarn.introspection`), which never change for one schema.
    """

    schema: GraphQLSchema
    sdl: str
    tool_fields: Mapping[str, ToolSpec]
    catalogue: Mapping[str, Any]
    answers: dict[tuple[str, str | None, str], str] = field(default_factory=dict, repr=False)

    @classmethod
    def for_engine(
        cls,
        engine: SchemaEngine,
        tools: Iterable[ToolSpec] | None = None,
        *,
        input_schemas: Mapping[tuple[str, str], Mapping[str, Any]] | None = None,
    ) -> GeneratedSchema:
        """Build the schema of `engine` from `tools` (a gateway's, which carry their
        input schemas), or from the engine's own catalogue and `input_schemas`."""
        if tools is None:
            specs = engine_tools(engine, input_schemas)
        elif input_schemas is not None:
            raise ValueError("input_schemas apply only when the tools come from the engine; put them in the ToolSpecs")
        else:
            specs = tuple(tools)
        schema = build_schema(specs)
        declared = schema.query_type.fields if schema.query_type is not None else {}
        tool_fields: dict[str, ToolSpec] = {}
        for spec in specs:
            if spec.field in declared and spec.field not in BUILT_IN_FIELDS:
                tool_fields.setdefault(spec.field, spec)
        logger.debug("generated a schema with %d tool fields from %d tools", len(tool_fields), len(specs))
        return cls(schema, print_schema(schema), tool_fields, _catalogue(engine))


def _list_of(kind: GraphQLObjectType) -> GraphQLNonNull[GraphQLList[GraphQLNonNull[GraphQLObjectType]]]:
    return GraphQLNonNull(GraphQLList(GraphQLNonNull(kind)))


def _catalogue(engine: SchemaEngine) -> dict[str, Any]:
    # Built-in fields make no tool call, whether or not a bridge is attached.
    document = json.loads(engine.execute("{ servers search }"))
    return {"servers": document["data"]["servers"], "search": document["data"]["search"]}


def _description(tool: ToolSpec, skipped: list[str]) -> str:
    parts = [tool.description.strip()] if tool.description.strip() else []
    kind = "Read-only." if tool.read_only else "Not read-only: it may change state."
    parts.append(f'Tool "{tool.name}" of server "{tool.server}". {kind}')
    if tool.input_schema is None:
        parts.append("Its input schema is not known, so no arguments are declared.")
    if skipped:
        parts.append("Input properties that are not GraphQL names, and cannot be passed: " + ", ".join(skipped) + ".")
    return "\n\n".join(parts)
