"""The ASGI apps that bench/http_bench.py serves with uvicorn, and their expected documents.

`python bench/http_apps.py APP WORKLOAD PORT` serves one app on 127.0.0.1:PORT
with one uvicorn process (uvloop, no access log). Apps:

- floor: reads the request body and answers the expected document as it is,
  uvicorn's own cost per request;
- zarn: `zarn.asgi.GraphQLApp` over a bare engine (placeholders) or a
  `ToolHost` with in-process handlers;
- graphql-core: a minimal ASGI app around graphql-core at its best: parsed and
  validated documents cached by query text, async resolvers that return the
  same values (placeholders, or the same handler's result), orjson for the
  request and the response; graphql-core-sync: the same with plain resolvers,
  which graphql-core runs without awaiting anything.

Workloads: "placeholders" (8 tool fields, no host) and "handlers" (8 tool
fields answered by one Python handler each).
"""

from __future__ import annotations

import json
import sys
from collections.abc import Awaitable, Callable, MutableMapping
from inspect import isawaitable
from typing import Any

import orjson
import workloads as wl
from graphql import (
    DocumentNode,
    GraphQLArgument,
    GraphQLBoolean,
    GraphQLField,
    GraphQLInt,
    GraphQLObjectType,
    GraphQLSchema,
    GraphQLString,
    execute,
    parse,
    validate,
)
from graphql_core_peer import JSON

import zarn
from zarn.asgi import GraphQLApp

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]
App = Callable[[Scope, Receive, Send], Awaitable[None]]

FIELDS = 8
WORKLOADS = ("placeholders", "handlers")


def catalogue() -> tuple[list[wl.Tool], str]:
    return wl.make_catalogue(1000, 10)


def selected_tools() -> list[wl.Tool]:
    return catalogue()[0][:FIELDS]


def query_text() -> str:
    return wl.tool_fields_query(selected_tools())


def request_body() -> bytes:
    return json.dumps({"query": query_text()}).encode("utf-8")


def handler(args: dict[str, Any]) -> Any:
    """Every tool's handler in the "handlers" workload."""
    return wl.REPLY


def expected_data(workload: str) -> dict[str, Any]:
    """The response's "data", from the catalogue model."""
    if workload == "placeholders":
        return {tool.field: wl.placeholder(tool) for tool in selected_tools()}
    return {tool.field: wl.REPLY for tool in selected_tools()}


# -- the apps -----------------------------------------------------------------


async def _read_body(receive: Receive) -> bytes:
    chunks = []
    while True:
        message = await receive()
        chunks.append(message.get("body", b""))
        if not message.get("more_body", False):
            return b"".join(chunks)


async def _answer(send: Send, body: bytes) -> None:
    headers = [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]
    await send({"type": "http.response.start", "status": 200, "headers": headers})
    await send({"type": "http.response.body", "body": body})


def floor_app(workload: str) -> App:
    document = json.dumps({"data": expected_data(workload)}, separators=(",", ":"), sort_keys=True).encode()

    async def app(scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            return
        await _read_body(receive)
        await _answer(send, document)

    return app


def zarn_app(workload: str) -> Any:
    engine = zarn.SchemaEngine(catalogue()[1])
    if workload == "placeholders":
        return GraphQLApp(engine)
    handlers = {(tool.server, tool.tool): handler for tool in selected_tools()}
    # Two cores: two service threads keep the handlers busy without crowding the loop.
    return GraphQLApp(zarn.ToolHost(engine, handlers, threads=2), manage=True)


def graphql_core_app(workload: str, sync: bool = False) -> App:
    arguments = {
        "query": GraphQLArgument(GraphQLString),
        "limit": GraphQLArgument(GraphQLInt),
        "verbose": GraphQLArgument(GraphQLBoolean),
    }
    fields: dict[str, GraphQLField] = {}
    for tool in catalogue()[0]:
        resolve: Callable[..., Any]
        if workload == "placeholders":
            value = wl.placeholder(tool)

            async def resolve_async(_root: Any, _info: Any, _value: Any = value, **_args: Any) -> Any:
                return _value

            def resolve_sync(_root: Any, _info: Any, _value: Any = value, **_args: Any) -> Any:
                return _value
        else:

            async def resolve_async(_root: Any, _info: Any, **args: Any) -> Any:
                return handler(args)

            def resolve_sync(_root: Any, _info: Any, **args: Any) -> Any:
                return handler(args)

        resolve = resolve_sync if sync else resolve_async
        fields.setdefault(tool.field, GraphQLField(JSON, args=arguments, resolve=resolve))
    schema = GraphQLSchema(query=GraphQLObjectType("Query", fields))
    documents: dict[str, DocumentNode] = {}

    async def app(scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            return
        request = orjson.loads(await _read_body(receive))
        query = request["query"]
        document = documents.get(query)
        if document is None:
            document = parse(query)
            errors = validate(schema, document)
            if errors:
                raise ValueError(errors[0].message)
            documents[query] = document
        result = execute(schema, document, variable_values=request.get("variables"))
        if isawaitable(result):
            result = await result
        response: dict[str, Any] = {"data": result.data}
        if result.errors:
            response["errors"] = [{"message": error.message} for error in result.errors]
        await _answer(send, orjson.dumps(response))

    return app


APPS: dict[str, Callable[[str], Any]] = {
    "floor": floor_app,
    "zarn": zarn_app,
    "graphql-core": graphql_core_app,
    "graphql-core-sync": lambda workload: graphql_core_app(workload, sync=True),
}


def main() -> None:
    import uvicorn

    name, workload, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    uvicorn.run(
        APPS[name](workload),
        host="127.0.0.1",
        port=port,
        loop="uvloop",
        http="h11",
        lifespan="on",
        access_log=False,
        log_level="warning",
    )


if __name__ == "__main__":
    main()
