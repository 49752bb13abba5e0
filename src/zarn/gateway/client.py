"""The protocol client, written once above the transports.

JSON-RPC 2.0 as the Model Context Protocol uses it: ids counted per
connection, answers matched to their requests by id (so many calls share one
connection), `notifications/cancelled` for requests given up, `ping` answered,
other requests from the server refused with a JSON-RPC error, and the
server's log messages passed to logging.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import logging
from collections.abc import Callable, Coroutine, Mapping
from importlib import metadata
from typing import Any, Final

from zarn.gateway.transport import Transport, TransportError

__all__ = ["PROTOCOL_VERSIONS", "ProtocolClient", "RpcError"]

# Newest first: the first is offered, and any of them is accepted in answer.
PROTOCOL_VERSIONS: Final = ("2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05")

METHOD_NOT_FOUND: Final = -32601

_LOG_LEVELS: Final = {
    "debug": logging.DEBUG,
    "info": logging.INFO,
    "notice": logging.INFO,
    "warning": logging.WARNING,
    "error": logging.ERROR,
    "critical": logging.CRITICAL,
    "alert": logging.CRITICAL,
    "emergency": logging.CRITICAL,
}

logger = logging.getLogger(__name__)


def _client_version() -> str:
    try:
        return metadata.version("zarn")
    except metadata.PackageNotFoundError:
        return "0"


class RpcError(Exception):
    """A JSON-RPC error answer from the server."""

    def __init__(self, code: int, message: str, data: Any = None) -> None:
        super().__init__(f"error {code}: {message}")
        self.code = code
        self.message = message
        self.data = data


# Answers to the server's own requests that may wait to be written at once. A
# server that sends requests without reading the answers gets none for the
# rest, rather than the host keeping every answer (and a task each) in memory.
MAX_ANSWERS_WAITING: Final = 256


class ProtocolClient:
    """One session with one server over one transport.

    `on_lost` is told (once) when the connection ends, with the cause;
    `on_tools_changed` when the server says that its tool list changed.
    """

    def __init__(
        self,
        name: str,
        transport: Transport,
        *,
        on_lost: Callable[[ProtocolClient, str], None] | None = None,
        on_tools_changed: Callable[[ProtocolClient], None] | None = None,
    ) -> None:
        self.name = name
        self.transport = transport
        self._on_lost = on_lost
        self._on_tools_changed = on_tools_changed
        self._log = logging.getLogger(f"zarn.servers.{name}")
        self._next_id = 0
        self._pending: dict[int, asyncio.Future[Any]] = {}
        self._tasks: set[asyncio.Task[Any]] = set()
        self._answering: set[asyncio.Task[Any]] = set()  # answers to the server's requests not yet written
        self._unanswered = 0  # the server's requests left unanswered since the last one answered
        self._lost: str | None = None
        self.ready = False  # initialised
        self.protocol_version: str | None = None
        self.server_info: Mapping[str, Any] = {}
        self.capabilities: Mapping[str, Any] = {}

    @property
    def alive(self) -> bool:
        return self._lost is None

    @property
    def in_flight(self) -> int:
        return len(self._pending)

    # -- session ----------------------------------------------------------------

    async def connect(self) -> None:
        """Open the transport, then `initialize` and `notifications/initialized`."""
        await self.transport.open(self)
        result = await self.request(
            "initialize",
            {
                "protocolVersion": PROTOCOL_VERSIONS[0],
                "capabilities": {},
                "clientInfo": {"name": "zarn", "version": _client_version()},
            },
        )
        if not isinstance(result, Mapping):
            raise TransportError("answered initialize with something other than an object")
        version = result.get("protocolVersion")
        if version not in PROTOCOL_VERSIONS:
            raise TransportError(
                f"answered initialize with protocol version {version!r}, "
                f"which zarn does not speak (it speaks {', '.join(PROTOCOL_VERSIONS)})"
            )
        self.protocol_version = version
        info, capabilities = result.get("serverInfo"), result.get("capabilities")
        self.server_info = info if isinstance(info, Mapping) else {}
        self.capabilities = capabilities if isinstance(capabilities, Mapping) else {}
        self.transport.negotiated(version)
        await self.notify("notifications/initialized")
        self.ready = True

    async def list_tools(self) -> list[Any]:
        """Every tool the server lists, following `nextCursor` to the end."""
        if "tools" not in self.capabilities:
            return []
        tools: list[Any] = []
        cursor: str | None = None
        seen: set[str] = set()
        while True:
            result = await self.request("tools/list", None if cursor is None else {"cursor": cursor})
            page = result.get("tools") if isinstance(result, Mapping) else None
            if not isinstance(page, list):
                raise TransportError("answered tools/list without a list of tools")
            tools.extend(page)
            cursor = result.get("nextCursor")
            if not isinstance(cursor, str) or not cursor:
                return tools
            if cursor in seen:
                raise TransportError(f"repeated the tools/list cursor {cursor!r}")
            seen.add(cursor)

    async def call_tool(self, name: str, arguments: Mapping[str, Any]) -> Any:
        return await self.request("tools/call", {"name": name, "arguments": arguments})

    async def close(self) -> None:
        await self.transport.close()
        self.connection_lost("was shut down")
        tasks = list(self._tasks)
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)

    # -- requests ---------------------------------------------------------------

    async def request(self, method: str, params: Mapping[str, Any] | None = None) -> Any:
        """Send a request and wait for its answer; raises `RpcError` or `TransportError`.

        Cancelling the caller tells the server with `notifications/cancelled`.
        """
        if self._lost is not None:
            raise TransportError(self._lost)
        self._next_id += 1
        request_id = self._next_id
        future: asyncio.Future[Any] = asyncio.get_running_loop().create_future()
        self._pending[request_id] = future
        message: dict[str, Any] = {"jsonrpc": "2.0", "id": request_id, "method": method}
        if params is not None:
            message["params"] = params
        try:
            await self.transport.send(message)
            return await future
        except asyncio.CancelledError:
            # The protocol forbids cancelling initialize; the server then ends alone.
            # (Cancelling the task cancelled the future too; an answer would have set it.)
            if method != "initialize" and self._lost is None and (future.cancelled() or not future.done()):
                self._spawn(
                    self.notify("notifications/cancelled", {"requestId": request_id, "reason": "the call was given up"})
                )
            raise
        finally:
            self._pending.pop(request_id, None)

    async def notify(self, method: str, params: Mapping[str, Any] | None = None) -> None:
        message: dict[str, Any] = {"jsonrpc": "2.0", "method": method}
        if params is not None:
            message["params"] = params
        await self.transport.send(message)

    def _spawn(self, work: Coroutine[Any, Any, Any]) -> asyncio.Task[Any]:
        task = asyncio.ensure_future(self._quietly(work))
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)
        return task

    async def _quietly(self, work: Coroutine[Any, Any, Any]) -> None:
        try:
            await work
        except TransportError as error:
            self._log.debug("could not send a message: %s", error)

    # -- the Receiver interface --------------------------------------------------

    def message_received(self, message: Any) -> None:
        for one in message if isinstance(message, list) else (message,):
            self._dispatch(one)

    def connection_lost(self, cause: str) -> None:
        if self._lost is not None:
            return
        self._lost = cause
        pending, self._pending = self._pending, {}
        for future in pending.values():
            if not future.done():
                future.set_exception(TransportError(cause))
        if self._on_lost is not None:
            self._on_lost(self, cause)

    def _dispatch(self, message: Any) -> None:
        if not isinstance(message, dict):
            self._log.warning("ignored a message that is not a JSON object: %.200s", _show(message))
            return
        method = message.get("method")
        if isinstance(method, str):
            if "id" in message:
                self._answer_request(message["id"], method)
            else:
                self._notification(method, message.get("params"))
            return
        request_id = message.get("id")
        if "result" in message or "error" in message:
            future = self._pending.get(request_id) if type(request_id) is int else None
            if future is None or future.done():
                self._log.debug("ignored an answer for unknown request id %.100s", _show(request_id))
            elif "error" in message:
                future.set_exception(_rpc_error(message["error"]))
            else:
                future.set_result(message["result"])
            return
        self._log.warning("ignored a message that is no request, notification or answer: %.200s", _show(message))

    def _answer_request(self, request_id: Any, method: str) -> None:
        reply: dict[str, Any] = {"jsonrpc": "2.0", "id": request_id}
        if method == "ping":
            reply["result"] = {}
        else:
            # Left unanswered, the server would wait on it forever.
            self._log.info("refused the server's request %s", method)
            reply["error"] = {"code": METHOD_NOT_FOUND, "message": f"Method not found: zarn does not support {method}"}
        if len(self._answering) >= MAX_ANSWERS_WAITING:
            if not self._unanswered:  # once for each run of them
                self._log.warning(
                    "left the server's requests unanswered from here on: %d answers to its requests still wait to be written",
                    len(self._answering),
                )
            self._unanswered += 1
            return
        self._unanswered = 0
        task = self._spawn(self.transport.send(reply))
        self._answering.add(task)
        task.add_done_callback(self._answering.discard)

    def _notification(self, method: str, params: Any) -> None:
        params = params if isinstance(params, Mapping) else {}
        if method == "notifications/message":
            level = _LOG_LEVELS.get(str(params.get("level")), logging.INFO)
            data = params.get("data")
            text = data if isinstance(data, str) else _show(data)
            source = params.get("logger")
            self._log.log(level, "%s: %s" if isinstance(source, str) else "%s%s", source or "", text)
        elif method == "notifications/tools/list_changed":
            if self._on_tools_changed is not None:
                self._on_tools_changed(self)
        else:
            self._log.debug("notification %s", method)


def _rpc_error(error: Any) -> RpcError:
    if isinstance(error, Mapping):
        code, message = error.get("code"), error.get("message")
        if isinstance(code, int) and not isinstance(code, bool) and isinstance(message, str):
            return RpcError(code, message, error.get("data"))
    return RpcError(-32603, f"malformed error object {_show(error)[:200]}")


def _show(value: Any) -> str:
    with contextlib.suppress(ValueError, TypeError, RecursionError):
        return json.dumps(value, ensure_ascii=False)[:2000]
    return repr(value)[:2000]
