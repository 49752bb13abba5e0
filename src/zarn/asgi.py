"""GraphQL over HTTP: a plain ASGI 3 application that serves an engine.

`GraphQLApp` answers GET and POST at one path as the GraphQL Foundation's
GraphQL-over-HTTP rules ask: it reads the request into a query,
its variables and an operation name (`zarn.httpio`), settles on the operation
and the fields that run (`zarn.operations`), hands the engine exactly that, and
writes the engine's document back with the status code that the negotiated media
type calls for. Requests that call no tool run inline (the engine does not block
then); requests with tool fields run on the host's execute threads, so a slow
tool never holds up the event loop.

Status codes (the body is always a GraphQL response, never a stack trace):

- 200: a result; and, under ``application/json``, a request error (the
  document or variables cannot run: parse errors, unknown fields, a missing
  operation name, ...).
- 400: a request error under ``application/graphql-response+json``; and under
  both media types a request that is not a GraphQL request (a body that is not
  a UTF-8 JSON object, members of the wrong type, no query), or whose ``Host``
  is not among `allowed_hosts`.
- 401 without the bearer token, 403 for a CORS preflight from another origin,
  404 at another path, 405 for another method or a GET that would run a mutation
  or a tool that is not read-only, 406 when ``Accept`` allows neither JSON media
  type, 408 for a body not received within `body_timeout`, 413 for a body or
  query over its limit, 415 for a POST body that is not ``application/json``,
  503 while the host is not serving, 500 for a fault of the server (logged).
"""

from __future__ import annotations

import asyncio
import contextlib
import functools
import json
import logging
import re
import time
from collections.abc import Awaitable, Callable, Iterable, Mapping, MutableMapping
from dataclasses import dataclass
from typing import Any, Final, Protocol, cast, runtime_checkable

from graphql.language import ast

from zarn._graphql import SchemaEngine
from zarn.access import Access
from zarn.httpio import (
    GRAPHQL_RESPONSE_JSON,
    HTML,
    JSON,
    Deadlines,
    GraphQLRequest,
    HttpError,
    get_parameters,
    is_json_content_type,
    negotiate,
    post_parameters,
    too_large,
)
from zarn.introspection import INTROSPECTION_FIELDS
from zarn.operations import DocumentCache, RequestError, Selection, plan, select_operation
from zarn.tooling import EngineSchemas, ExplorerPage
from zarn.toolspec import BUILT_IN_FIELDS, search_entries

__all__ = ["ExecutionHost", "GraphQLApp", "OperationHook", "OperationRequest"]

logger = logging.getLogger(__name__)

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]

MIB: Final = 1024 * 1024
_CONTENT_TYPES: Final = {
    JSON: b"application/json; charset=utf-8",
    GRAPHQL_RESPONSE_JSON: b"application/graphql-response+json; charset=utf-8",
    HTML: b"text/html; charset=utf-8",
}
_INLINE_BYTES: Final = 64 * 1024  # larger bodies and query strings are read on a thread
_INLINE_QUERY: Final = 2000  # longer queries not yet cached are parsed on a thread
_ERROR_PREFIX: Final = '{"data":null,'
_NO_ERRORS: Final = ',"errors":[]}'
# Where the engine's messages place a fault: in the text this app wrote, not in the client's.
_ENGINE_POSITION: Final = re.compile(r" at line \d+ column \d+")


@dataclass(frozen=True, slots=True)
class OperationRequest:
    """What an operation hook sees: the parsed request, before the engine runs anything.

    `field_names` holds every top-level field name the operation may select
    (fragments expanded, literal conditions applied, variable ones not), so
    that a hook can pass on most requests with one set operation.
    """

    document: ast.DocumentNode
    operation: ast.OperationDefinitionNode
    operation_name: str | None
    field_names: frozenset[str]
    variables: Mapping[str, Any]
    method: str


# Answers an operation instead of the engine with a GraphQL response (a mapping
# with "data" and/or "errors"), or returns None to let the engine run it.
OperationHook = Callable[[OperationRequest], Mapping[str, Any] | None]


@runtime_checkable
class ExecutionHost(Protocol):
    """What the app needs of a host: `ToolHost` and `Gateway` both have it."""

    @property
    def engine(self) -> SchemaEngine: ...

    async def execute_async(self, query: str, variables: Mapping[str, Any] | str | None = None) -> str: ...


class _Answer(Exception):
    """A response decided before the engine runs (a hook's answer, nothing to run)."""

    def __init__(self, status: int, body: bytes) -> None:
        self.status = status
        self.body = body


def _errors_body(entries: list[dict[str, Any]]) -> bytes:
    return json.dumps({"errors": entries}, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


class GraphQLApp:
    """Serve a `Gateway`, a `ToolHost` or a bare `SchemaEngine` over HTTP at `path`.

    Options:

    - `path`: where the endpoint answers (404 elsewhere); None answers at
      every path, for mounting under a prefix in another application.
    - `token`: when given, every request needs ``Authorization: Bearer <token>``
      (compared in constant time); 401 otherwise.
    - `cors_origins`: origins that browsers may call from (``"*"`` for any);
      none by default, so CORS is off.
    - `allowed_hosts`: the names that the ``Host`` header may carry (400
      otherwise), against DNS rebinding (`zarn.access`); None, the default, any.
    - limits: `max_body_bytes` (10 MiB), `max_query_length` in characters
      (100,000), `max_fields`, the top-level fields one request may run (100),
      and `body_timeout`, the seconds a request body may take to arrive (30).
    - `document_cache`: how many parsed documents are kept (1,000).
    - `manage`: enter the target (start it) at ASGI lifespan startup and leave
      it (close it) at shutdown; for a `ToolHost` or `Gateway` that the app owns.
    - `introspection`: answer ``__schema`` and ``__type`` from the schema
      generated on first use (`zarn.tooling`); false leaves them to the engine.
    - `input_schemas`: for a `ToolHost` or an engine, the tools' input JSON
      Schemas by (server, tool), so that the schema declares their arguments.
    - `explorer`: for a GET that prefers ``text/html``, the bundled GraphiQL
      (true), nothing (false) or a page of your own; it is served without the token.
    - `answer_operation`: a hook that may answer a parsed operation before the
      engine runs it (see `OperationHook`), introspection included.

    A bare engine runs on the event loop: serve a host when a bridge is attached.
    """

    def __init__(
        self,
        target: SchemaEngine | ExecutionHost,
        *,
        path: str | None = "/graphql",
        token: str | None = None,
        cors_origins: Iterable[str] = (),
        allowed_hosts: Iterable[str] | None = None,
        max_body_bytes: int = 10 * MIB,
        max_query_length: int = 100_000,
        max_fields: int = 100,
        body_timeout: float = 30.0,
        document_cache: int = 1000,
        manage: bool = False,
        introspection: bool = True,
        input_schemas: Mapping[tuple[str, str], Mapping[str, Any]] | None = None,
        explorer: bool | str | bytes = True,
        answer_operation: OperationHook | None = None,
    ) -> None:
        if isinstance(target, SchemaEngine):
            self._host: ExecutionHost | None = None
        elif isinstance(target, ExecutionHost):
            self._host = target
        else:
            raise TypeError(f"GraphQLApp serves a Gateway, a ToolHost or a SchemaEngine, not {type(target).__name__}")
        if manage and not hasattr(target, "__aenter__"):
            raise TypeError(f"GraphQLApp cannot manage a {type(target).__name__}: it has no start and close")
        for name, value in (
            ("max_body_bytes", max_body_bytes),
            ("max_query_length", max_query_length),
            ("max_fields", max_fields),
        ):
            if value < 1:
                raise ValueError(f"GraphQLApp {name} must be at least 1, not {value}")
        if not body_timeout > 0:
            raise ValueError(f"GraphQLApp body_timeout must be positive, not {body_timeout}")
        self.target: Final = target
        self.path: Final = path
        self.max_body_bytes: Final = max_body_bytes
        self.max_query_length: Final = max_query_length
        self.max_fields: Final = max_fields
        self.body_timeout: Final = body_timeout
        self._access: Final = Access(token, cors_origins, allowed_hosts)
        self._manage: Final = manage
        self._answer_operation: Final = answer_operation
        if input_schemas is not None and not introspection:
            raise ValueError("GraphQLApp input_schemas serve introspection, which is turned off")
        self._schemas: Final = EngineSchemas(target, input_schemas) if introspection else None
        self._page: Final = None if explorer is False else ExplorerPage(None if explorer is True else explorer)
        self._documents: Final = DocumentCache(document_cache)
        self._deadlines: Final = Deadlines()
        # Tool fields by name with their read-only flag, for the engine they were read from.
        self._catalogue_engine: SchemaEngine | None = None
        self._tool_fields: dict[str, bool] = {}
        self._lifetime: contextlib.AsyncExitStack | None = None

    # -- ASGI -----------------------------------------------------------------

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self._other(scope, receive, send)
            return
        started = time.perf_counter() if logger.isEnabledFor(logging.INFO) else 0.0
        accept = content_type = authorization = origin = length = host = None
        for name, value in scope["headers"]:
            if name == b"host":
                host = value
            elif name == b"accept":
                accept = value if accept is None else accept + b"," + value
            elif name == b"content-type":
                content_type = value
            elif name == b"authorization":
                authorization = value
            elif name == b"origin":
                origin = value
            elif name == b"content-length":
                length = value
        method: str = scope["method"]
        media = JSON
        headers: list[tuple[bytes, bytes]] = []
        operation_name: str | None = None
        access = self._access
        try:
            access.check_host(host)
            if self.path is not None and scope["path"] != self.path:
                self._check_path(scope)
            if method == "OPTIONS" and access.cors and origin is not None:
                status, body, headers = 204, b"", access.preflight(scope["headers"], origin)
            else:
                # The page holds nothing of the service, and a browser that opens it sends no token.
                if access.token is not None and not (method == "GET" and self._negotiated(accept, method) == HTML):
                    access.check_token(authorization)
                if method != "POST" and method != "GET":
                    raise HttpError(405, f"{method} is not allowed: use GET or POST", [(b"allow", b"GET, POST")])
                media = self._media(accept, method)
                if media == HTML:
                    encoding = next((v for n, v in scope["headers"] if n == b"accept-encoding"), None)
                    # The first one reads and compresses the page (some 0.2 s): not on the event loop.
                    page = cast(ExplorerPage, self._page)
                    ready = page.cached(encoding)
                    body, headers = ready if ready is not None else await asyncio.to_thread(page.response, encoding)
                    status = 200
                else:
                    if method == "POST":
                        raw = await self._read_body(receive, content_type, length)
                        if raw is None:
                            self._log(scope, "gone", operation_name, started)  # nothing to answer
                            return
                        big = len(raw) > _INLINE_BYTES
                        request = await asyncio.to_thread(post_parameters, raw) if big else post_parameters(raw)
                    else:
                        raw = scope.get("query_string", b"")
                        big = len(raw) > _INLINE_BYTES
                        if big:
                            request = await asyncio.to_thread(get_parameters, raw, self.max_body_bytes)
                        else:
                            request = get_parameters(raw, self.max_body_bytes)
                        headers = [(b"vary", b"accept")]
                    operation_name = request.operation_name
                    query = request.query
                    # Reading a large body or parsing a long new query takes milliseconds:
                    # on a thread, the event loop keeps serving others meanwhile.
                    if big or (len(query) > _INLINE_QUERY and query not in self._documents):
                        decided = await asyncio.to_thread(self._decide, method, request)
                    else:
                        decided = self._decide(method, request)
                    if isinstance(decided, functools.partial):
                        # Introspection: graphql-core takes long over a large schema the first time.
                        text = await asyncio.to_thread(decided)
                    else:
                        engine, selection, variables, on_host = decided
                        if not on_host:
                            text = engine.execute(selection.text, variables)
                        elif (done := await self._execute_on_host(selection.text, variables, receive)) is not None:
                            text = done
                        else:
                            self._log(scope, "gone", operation_name, started)  # left while the tools ran
                            return
                    if text.startswith(_ERROR_PREFIX):
                        if " at line " in text:
                            text = _ENGINE_POSITION.sub("", text)
                        # A request error: no "data" entry, as GraphQL asks of a request that did not run.
                        status, body = 200 if media == JSON else 400, ("{" + text[len(_ERROR_PREFIX) :]).encode("utf-8")
                    else:
                        if text.endswith(_NO_ERRORS):
                            text = text[: -len(_NO_ERRORS)] + "}"  # a result without errors has no "errors" entry
                        status, body = 200, text.encode("utf-8")
        except _Answer as answer:
            status, body = answer.status, answer.body
            if status == 400 and media == JSON:
                status = 200
        except RequestError as error:
            status, body = 200 if media == JSON else 400, _errors_body([error.entry()])
        except HttpError as error:
            status, body, headers = error.status, _errors_body([{"message": error.message}]), error.headers
        except Exception:
            logger.exception("GraphQLApp failed to answer %s %s", method, scope.get("path"))
            status, body = 500, _errors_body([{"message": "internal server error"}])

        if status != 204:
            headers.append((b"content-type", _CONTENT_TYPES[media]))
            headers.append((b"content-length", str(len(body)).encode("ascii")))
        if origin is not None and access.cors and access.origin_allowed(origin):
            headers.append((b"access-control-allow-origin", origin))
            headers.append((b"vary", b"origin"))
        await send({"type": "http.response.start", "status": status, "headers": headers})
        await send({"type": "http.response.body", "body": body})
        self._log(scope, status, operation_name, started)

    def _log(self, scope: Scope, status: int | str, operation_name: str | None, started: float) -> None:
        """One line per request: client, method, path, status ("gone" when the client left), operation, time."""
        if started:
            client = scope.get("client")
            logger.info(
                "%s %s %s %s %s %.1f ms",
                f"{client[0]}:{client[1]}" if client else "-",
                scope["method"],
                scope.get("path"),
                status,
                operation_name or "-",
                (time.perf_counter() - started) * 1000,
            )

    async def _other(self, scope: Scope, receive: Receive, send: Send) -> None:
        kind = scope["type"]
        if kind == "lifespan":
            await self._lifespan(receive, send)
        elif kind == "websocket":
            await receive()  # websocket.connect
            await send({"type": "websocket.close", "code": 1003})
        else:
            raise ValueError(f"GraphQLApp cannot serve an ASGI {kind!r} scope")

    async def _lifespan(self, receive: Receive, send: Send) -> None:
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                try:
                    if self._manage:
                        stack = contextlib.AsyncExitStack()
                        await stack.enter_async_context(cast(contextlib.AbstractAsyncContextManager[Any], self.target))
                        self._lifetime = stack
                except Exception as error:
                    # The message names what failed (a server and its stderr); the traceback adds little.
                    debug = logger.isEnabledFor(logging.DEBUG)
                    logger.error("GraphQLApp could not start %s: %s", type(self.target).__name__, error, exc_info=debug)
                    await send({"type": "lifespan.startup.failed", "message": str(error)})
                    return
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                lifetime, self._lifetime = self._lifetime, None
                try:
                    if lifetime is not None:
                        await lifetime.aclose()
                except Exception as error:
                    logger.exception("GraphQLApp could not close %s", type(self.target).__name__)
                    await send({"type": "lifespan.shutdown.failed", "message": str(error)})
                    return
                await send({"type": "lifespan.shutdown.complete"})
                return

    # -- the request ----------------------------------------------------------

    def _check_path(self, scope: Scope) -> None:
        path: str = scope["path"]
        root: str = scope.get("root_path", "")
        if root and path.startswith(root):
            path = path[len(root) :]
        if path != self.path:
            raise HttpError(404, f"no GraphQL endpoint at {scope['path']}: it is at {self.path}")

    def _negotiated(self, accept: bytes | None, method: str) -> str | None:
        return negotiate(accept, method == "GET" and self._page is not None)

    def _media(self, accept: bytes | None, method: str) -> str:
        media = self._negotiated(accept, method)
        if media is None:
            raise HttpError(406, f"Accept allows neither {GRAPHQL_RESPONSE_JSON} nor {JSON}")
        return media

    async def _read_body(self, receive: Receive, content_type: bytes | None, length: bytes | None) -> bytes | None:
        if content_type is None:
            raise HttpError(415, f"a POST body must be {JSON}; the request has no Content-Type")
        if not is_json_content_type(content_type):
            raise HttpError(415, f"a POST body must be {JSON} in UTF-8, not {content_type.decode('latin-1')}")
        limit = self.max_body_bytes
        if length is not None and length.isdigit() and int(length) > limit:
            raise too_large(limit)
        task: asyncio.Task[Any] = asyncio.current_task()  # type: ignore[assignment]  # always in a task
        self._deadlines.arm(task, self.body_timeout)
        try:
            message = await receive()
            if message["type"] != "http.request":
                return None
            body: bytes = message.get("body", b"")
            if not message.get("more_body", False):
                if len(body) > limit:
                    raise too_large(limit)
                return body
            chunks = [body]
            size = len(body)
            while True:
                message = await receive()
                if message["type"] != "http.request":
                    return None
                chunk = message.get("body", b"")
                size += len(chunk)
                if size > limit:
                    raise too_large(limit)
                chunks.append(chunk)
                if not message.get("more_body", False):
                    return b"".join(chunks)
        except asyncio.CancelledError:
            if not self._deadlines.expired(task):
                raise
            raise HttpError(
                408, f"the request body did not arrive within {self.body_timeout:g} s", [(b"connection", b"close")]
            ) from None
        finally:
            self._deadlines.disarm(task)

    # -- deciding -------------------------------------------------------------

    def _decide(
        self, method: str, request: GraphQLRequest
    ) -> tuple[SchemaEngine, Selection, str | None, bool] | functools.partial[str]:
        """The engine, the selection and the variables' text to run, and whether it runs on the host;
        or, for an introspection operation, the call that answers it."""
        query = request.query
        if len(query) > self.max_query_length:
            raise HttpError(413, f"the query is longer than {self.max_query_length} characters")
        document = self._documents.get(query)
        operation = select_operation(document, request.operation_name)
        if operation.kind != "query":
            if operation.kind == "subscription":
                raise RequestError("subscriptions are not supported over HTTP")
            if method == "GET":
                raise HttpError(405, "GET cannot run a mutation: use POST", [(b"allow", b"POST")])

        hook = self._answer_operation
        if hook is not None and document.node is not None:
            answer = hook(
                OperationRequest(
                    document.node, operation.node, operation.name, operation.field_names, request.variables, method
                )
            )
            if answer is not None:
                body = json.dumps(answer, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
                raise _Answer(200 if "data" in answer else 400, body)

        schemas, node = self._schemas, document.node
        if schemas is not None and node is not None and not INTROSPECTION_FIELDS.isdisjoint(operation.field_names):
            return functools.partial(schemas.answer, self._engine(), node, operation.name, request.variables)

        selection = plan(operation, request.variables)
        names = selection.names
        if len(names) > self.max_fields:
            raise RequestError(
                f"the operation selects {len(names)} top-level fields; at most {self.max_fields} may run"
            )
        if not names:
            raise _Answer(200, b'{"data":{}}')

        host = self._host
        engine = self._engine()
        if engine is not self._catalogue_engine:
            self._read_catalogue(engine)
        memo = selection.memo
        if memo is None or memo[0] is not self._tool_fields:
            memo = selection.memo = self._tool_check(names)
        _, calls_tool, not_read_only = memo
        if method == "GET" and not_read_only is not None:
            message = f'GET cannot run "{not_read_only}", a tool that is not read-only: use POST'
            raise HttpError(405, message, [(b"allow", b"POST")])

        variables: str | None = None
        if selection.variables:
            if request.raw_variables is not None:
                variables = request.raw_variables
            else:
                given = request.variables
                try:
                    variables = json.dumps(
                        {name: given[name] for name in selection.variables}, allow_nan=False, separators=(",", ":")
                    )
                except ValueError:
                    raise HttpError(400, '"variables" hold a number that is out of range') from None
                except RecursionError:  # read, but nested deeper than the encoder goes
                    raise HttpError(400, '"variables" nest too deeply') from None
        return engine, selection, variables, calls_tool and host is not None

    def _engine(self) -> SchemaEngine:
        host = self._host
        try:
            return host.engine if host is not None else cast(SchemaEngine, self.target)
        except RuntimeError as error:
            raise HttpError(503, f"the GraphQL service is not available: {error}") from None

    def _read_catalogue(self, engine: SchemaEngine) -> None:
        """Read the tool fields and their read-only flags from the engine's own `search` entries.

        Of tools whose fields collide the engine answers the first, and a
        built-in field shadows a tool; so does this map.
        """
        tool_fields: dict[str, bool] = {}
        for entry in search_entries(engine):
            if entry["field"] not in BUILT_IN_FIELDS:
                tool_fields.setdefault(entry["field"], bool(entry["readOnly"]))
        self._tool_fields, self._catalogue_engine = tool_fields, engine

    def _tool_check(self, names: tuple[str, ...]) -> tuple[dict[str, bool], bool, str | None]:
        """(the map checked against, whether a tool field runs, the first that is not read-only)."""
        tool_fields = self._tool_fields
        calls_tool = False
        not_read_only: str | None = None
        for name in names:
            read_only = tool_fields.get(name)
            if read_only is not None:
                calls_tool = True
                if not read_only and not_read_only is None:
                    not_read_only = name
        return tool_fields, calls_tool, not_read_only

    async def _execute_on_host(self, query: str, variables: str | None, receive: Receive) -> str | None:
        """Run on the host's execute threads; None when the client disconnects first.

        The execution then ends on its own once its tool calls are answered;
        only its result is dropped.
        """
        host = cast(ExecutionHost, self._host)
        task = cast(asyncio.Task[Any], asyncio.current_task())
        gone = False

        async def watch() -> None:
            nonlocal gone
            # After the request (a GET's empty body may still be due) the next
            # message is the disconnect; stop there whatever comes.
            for _ in range(2):
                if (await receive())["type"] == "http.disconnect":
                    gone = True
                    task.cancel()
                    return

        watcher = asyncio.ensure_future(watch())
        try:
            text = await host.execute_async(query, variables)
        except asyncio.CancelledError:
            if not gone:
                raise
            task.uncancel()
            return None
        except RuntimeError as error:
            raise HttpError(503, f"the GraphQL service is not available: {error}") from None
        finally:
            watcher.cancel()
        if gone:  # the client left just as the result came
            task.uncancel()
            return None
        return text
