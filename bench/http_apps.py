"""The ASGI apps that bench/http_bench.py serves with uvicorn, and their expected documents.

`python bench/http_apps.py APP WORKLOAD PORT` serves one app on 127.0.0.1:PORT
with one uvicorn process (uvloop, asyncio's loop for the gateway workload; h11;
no access log). Apps:

- floor: reads the request body and answers the expected document as it is,
  uvicorn's own cost per request;
- zarn: `zarn.asgi.GraphQLApp` over a bare engine (placeholders), a `ToolHost`
  with in-process handlers, or a `Gateway`;
- graphql-core: a minimal ASGI app around graphql-core at its best: parsed and
  validated documents cached by query text, async resolvers that return the
  same values (placeholders, the same handler's result, or the same server's
  answer through the gateway's own protocol client), orjson for the request and
  the response; graphql-core-sync: the same with plain resolvers, which
  graphql-core runs without awaiting anything (not for the gateway workload).

Workloads, 8 tool fields each: "placeholders" (no host), "handlers" (one
Python handler per tool through a ToolHost) and "gateway" (the everything
server's echo over stdio, from tests/servers: `npm ci` there first).
"""

from __future__ import annotations

import json
import sys
from collections.abc import Awaitable, Callable, MutableMapping
from inspect import isawaitable
from pathlib import Path
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
from zarn.gateway.config import server_config
from zarn.gateway.server import ToolServer

Scope = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]
Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]
App = Callable[[Scope, Receive, Send], Awaitable[None]]

FIELDS = 8
WORKLOADS = ("placeholders", "handlers", "gateway")
EVERYTHING = (
    Path(__file__).resolve().parents[1]
    / "tests/servers/node_modules/@modelcontextprotocol/server-everything/dist/index.js"
)


def catalogue() -> tuple[list[wl.Tool], str]:
    return wl.make_catalogue(1000, 10)


def selected_tools() -> list[wl.Tool]:
    return catalogue()[0][:FIELDS]


def everything_entry() -> dict[str, Any]:
    if not EVERYTHING.is_file():
        raise SystemExit(f"{EVERYTHING} is missing: run npm ci in tests/servers")
    return {"command": "node", "args": [str(EVERYTHING), "stdio"]}


def query_text(workload: str) -> str:
    if workload == "gateway":
        return "{ " + " ".join(f'e{i}: everything_echo(message: "m{i}")' for i in range(FIELDS)) + " }"
    return wl.tool_fields_query(selected_tools())


def request_body(workload: str) -> bytes:
    return json.dumps({"query": query_text(workload)}).encode("utf-8")


def handler(args: dict[str, Any]) -> Any:
    """Every tool's handler in the "handlers" workload."""
    return wl.REPLY


def expected_data(workload: str) -> dict[str, Any]:
    """The response's "data": from the catalogue model, or the echo server's answers."""
    if workload == "placeholders":
        return {tool.field: wl.placeholder(tool) for tool in selected_tools()}
    if workload == "handlers":
        return {tool.field: wl.REPLY for tool in selected_tools()}
    return {f"e{i}": {"isError": False, "json": None, "text": f"Echo: m{i}"} for i in range(FIELDS)}


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


async def _lifespan(receive: Receive, send: Send, start: Any = None, stop: Any = None) -> None:
    while True:
        message = await receive()
        if message["type"] == "lifespan.startup":
            if start is not None:
                await start()
            await send({"type": "lifespan.startup.complete"})
        elif message["type"] == "lifespan.shutdown":
            if stop is not None:
                await stop()
            await send({"type": "lifespan.shutdown.complete"})
            return


def floor_app(workload: str) -> App:
    document = json.dumps({"data": expected_data(workload)}, separators=(",", ":"), sort_keys=True).encode()

    async def app(scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "lifespan":
            await _lifespan(receive, send)
            return
        await _read_body(receive)
        await _answer(send, document)

    return app


def zarn_app(workload: str) -> Any:
    if workload == "gateway":
        return GraphQLApp(zarn.Gateway({"everything": everything_entry()}), manage=True)
    engine = zarn.SchemaEngine(catalogue()[1])
    if workload == "placeholders":
        return GraphQLApp(engine)
    handlers = {(tool.server, tool.tool): handler for tool in selected_tools()}
    # Two service threads: the handlers are quick, and more threads only contend for the GIL.
    return GraphQLApp(zarn.ToolHost(engine, handlers, threads=2), manage=True)


def graphql_core_app(workload: str, sync: bool = False) -> App:
    arguments = {
        "query": GraphQLArgument(GraphQLString),
        "limit": GraphQLArgument(GraphQLInt),
        "verbose": GraphQLArgument(GraphQLBoolean),
    }
    fields: dict[str, GraphQLField] = {}
    server: ToolServer | None = None
    if workload == "gateway":
        if sync:
            raise SystemExit("graphql-core-sync cannot call a tool server")
        server = ToolServer("everything", server_config("everything", everything_entry()))
        everything = server

        async def echo(_root: Any, _info: Any, **args: Any) -> Any:
            return json.loads(await everything.call("echo", args))

        fields["everything_echo"] = GraphQLField(JSON, args={"message": GraphQLArgument(GraphQLString)}, resolve=echo)
    for tool in catalogue()[0] if workload != "gateway" else []:
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
        if scope["type"] == "lifespan":
            if server is None:
                await _lifespan(receive, send)
            else:
                await _lifespan(receive, send, server.start, server.close)
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
        # The gateway's stdio transport wants asyncio's own subprocess transport,
        # which uvloop does not give; the graphql-core peer runs its protocol
        # client on the server's loop, so this workload runs on asyncio's loop.
        loop="asyncio" if workload == "gateway" else "uvloop",
        http="h11",
        lifespan="on",
        access_log=False,
        log_level="warning",
    )


if __name__ == "__main__":
    main()
