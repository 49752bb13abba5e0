"""graphql-core set up to answer the same queries as zarn over the same catalogue.

One field per tool with a JSON scalar result and the same optional arguments on
every tool field; "servers" and "search" computed per call from the catalogue,
as zarn does. A resolver mode picks what a tool field does: the placeholder
result, a blocking call through the pure-Python bridge, or an awaited one.
"""

from __future__ import annotations

import asyncio
import json
from collections.abc import Callable
from inspect import isawaitable
from typing import Any

import orjson
import workloads
from graphql import (
    DocumentNode,
    ExecutionResult,
    GraphQLArgument,
    GraphQLBoolean,
    GraphQLField,
    GraphQLInt,
    GraphQLObjectType,
    GraphQLScalarType,
    GraphQLSchema,
    GraphQLString,
    ValueNode,
    execute,
    execute_sync,
    graphql_sync,
    parse,
    validate,
    value_from_ast_untyped,
)
from py_bridge import PyBridge
from workloads import Tool


def _same(value: Any) -> Any:
    return value


def _literal(node: ValueNode, variables: dict[str, Any] | None = None) -> Any:
    return value_from_ast_untyped(node, variables)


JSON = GraphQLScalarType("JSON", serialize=_same, parse_value=_same, parse_literal=_literal)


def _tool_arguments() -> dict[str, GraphQLArgument]:
    return {
        "query": GraphQLArgument(GraphQLString),
        "limit": GraphQLArgument(GraphQLInt),
        "verbose": GraphQLArgument(GraphQLBoolean),
        "path": GraphQLArgument(GraphQLString),
        "data": GraphQLArgument(JSON),
    }


def _resolver(tool: Tool, mode: str, bridge: PyBridge | None) -> Callable[..., Any]:
    if mode == "placeholder":
        return lambda _root, _info, **_args: workloads.placeholder(tool)
    assert bridge is not None
    server, name, operation = tool.server, tool.tool, workloads.operation(tool)
    if mode == "sync":
        return lambda _root, _info, **args: bridge.call_tool(server, name, args, operation)

    async def resolve(_root: Any, _info: Any, **args: Any) -> Any:
        reply: str = await asyncio.wrap_future(bridge.start_call(server, name, args, operation))  # type: ignore[arg-type]
        return json.loads(reply)

    return resolve


def build_schema(tools: list[Tool], mode: str = "placeholder", bridge: PyBridge | None = None) -> GraphQLSchema:
    """mode: "placeholder" (bridge detached), "sync" or "async" (through `bridge`)."""
    fields: dict[str, GraphQLField] = {
        "servers": GraphQLField(JSON, resolve=lambda _root, _info: workloads.server_summaries(tools)),
        "search": GraphQLField(JSON, resolve=lambda _root, _info: workloads.search_hits(tools)),
    }
    arguments = _tool_arguments()
    for tool in tools:
        fields.setdefault(tool.field, GraphQLField(JSON, args=arguments, resolve=_resolver(tool, mode, bridge)))
    return GraphQLSchema(query=GraphQLObjectType("Query", fields))


def _document(result: ExecutionResult) -> dict[str, Any]:
    errors = [{"message": error.message} for error in result.errors or []]
    return {"data": result.data, "errors": errors}


class CachedExecutor:
    """graphql-core at its best: parsed and validated documents cached by query
    text, execute_sync, the response written by orjson (bytes, not decoded)."""

    def __init__(self, schema: GraphQLSchema) -> None:
        self.schema = schema
        self._documents: dict[str, DocumentNode] = {}

    def document(self, query: str) -> DocumentNode:
        document = self._documents.get(query)
        if document is None:
            document = parse(query)
            errors = validate(self.schema, document)
            if errors:
                raise ValueError(f"invalid benchmark query: {errors[0].message}")
            self._documents[query] = document
        return document

    def execute(self, query: str, variables_json: str | None = None) -> bytes:
        variables = orjson.loads(variables_json) if variables_json is not None else None
        result = execute_sync(self.schema, self.document(query), variable_values=variables)
        return orjson.dumps(_document(result))

    async def execute_async(self, query: str, variables_json: str | None = None) -> bytes:
        variables = orjson.loads(variables_json) if variables_json is not None else None
        result = execute(self.schema, self.document(query), variable_values=variables)
        if isawaitable(result):
            result = await result
        return orjson.dumps(_document(result))


class AsyncRunner:
    """Runs a CachedExecutor with async resolvers on an event loop of the
    calling thread (one runner per thread)."""

    def __init__(self, executor: CachedExecutor) -> None:
        self._executor = executor
        self._loop = asyncio.new_event_loop()

    def execute(self, query: str, variables_json: str | None = None) -> bytes:
        return self._loop.run_until_complete(self._executor.execute_async(query, variables_json))

    def close(self) -> None:
        self._loop.close()


def default_execute(schema: GraphQLSchema, query: str, variables_json: str | None = None) -> str:
    """graphql-core's default use: graphql_sync per call, the json module."""
    variables = json.loads(variables_json) if variables_json is not None else None
    result = graphql_sync(schema, query, variable_values=variables)
    return json.dumps(_document(result), separators=(",", ":"), ensure_ascii=False)
