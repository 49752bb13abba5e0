"""One configured tool server: its connection, its calls, restarts with backoff.

A server that exits (or whose HTTP session ends) is started again on its next
call. Failures in a row space the restarts out: the first restart is
immediate, then 2, 4, 8 ... seconds must pass, at most a minute, and calls in
between fail at once saying the server is unavailable, so a server that keeps
dying is not restarted in a loop. A call that gets an answer resets the count.
"""

from __future__ import annotations

import asyncio
import logging
import time
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Final, Literal

from zarn.gateway.catalogue import ListedServer
from zarn.gateway.client import ProtocolClient, RpcError
from zarn.gateway.config import ServerConfig, StdioServerConfig
from zarn.gateway.results import error_value, field_value
from zarn.gateway.stdio import StdioTransport
from zarn.gateway.transport import MAX_MESSAGE_SIZE, SessionExpired, Transport, TransportError

__all__ = ["ServerStartError", "ServerStatus", "ToolServer", "restart_delay"]

BACKOFF_LIMIT: Final = 60.0
_RELISTS: Final = 3  # times a listing is repeated when the server says it changed meanwhile

State = Literal["starting", "running", "restarting", "down", "unavailable", "closed"]


def restart_delay(failures: int) -> float:
    """Seconds that must pass before a restart after `failures` failures in a row."""
    return 0.0 if failures <= 1 else min(BACKOFF_LIMIT, 2.0 ** (failures - 1))


class ServerStartError(RuntimeError):
    """Servers that could not be started; `failures` maps each one's name to what went wrong."""

    def __init__(self, failures: Mapping[str, str]) -> None:
        super().__init__("\n".join(failures.values()))
        self.failures = dict(failures)


class Unavailable(Exception):
    """The server is waiting out its restart delay."""


@dataclass(frozen=True, slots=True)
class ServerStatus:
    """What a gateway knows of one of its servers at the moment it is asked."""

    name: str
    transport: Literal["stdio", "http"]
    state: State
    pid: int | None
    restarts: int
    failures: int  # in a row, since the last answered call
    in_flight: int  # requests waiting for their answers
    last_error: str | None
    protocol_version: str | None
    server_info: Mapping[str, Any]


class ToolServer:
    def __init__(
        self,
        name: str,
        config: ServerConfig,
        *,
        start_timeout: float = 30.0,
        max_message_size: int = MAX_MESSAGE_SIZE,
        shutdown_grace: float = 2.0,
    ) -> None:
        self.name = name
        self.config = config
        self._start_timeout = start_timeout
        self._limit = max_message_size
        self._grace = shutdown_grace
        self._log = logging.getLogger(f"zarn.servers.{name}")
        self._client: ProtocolClient | None = None
        self._stage = "initialize"  # the request start() waits for, for its messages
        self._failures = 0
        self._restarts = 0
        self._retry_at = 0.0
        self._last_error: str | None = None
        self._restart_task: asyncio.Task[ProtocolClient] | None = None
        self._tasks: set[asyncio.Task[Any]] = set()
        self._closing = False
        self._closed: asyncio.Future[None] | None = None
        self._listed: frozenset[str] | None = None  # the tool names of the catalogue, once it is made
        self._changed_while_listing = False
        self._relisting: asyncio.Task[None] | None = None
        self._reported_change: tuple[list[str], list[str]] = ([], [])

    # -- lifecycle ----------------------------------------------------------------

    async def start(self) -> ListedServer:
        """Connect, initialise and list the tools; raises `ServerStartError` naming the server."""
        client: ProtocolClient | None = None
        try:
            async with asyncio.timeout(self._start_timeout):
                client = await self._connect()
                self._stage = "tools/list"
                tools = await self._list_tools(client)
        except TimeoutError:
            cause = f"did not answer {self._stage} within {self._start_timeout:g} s"
        except TransportError as error:
            cause = str(error)
        except RpcError as error:
            cause = f"answered {self._stage} with error {error.code}: {error.message}"
        else:
            info = client.server_info
            title = info.get("title") or info.get("name")
            return ListedServer(self.name, title if isinstance(title, str) else None, tools)
        client = client or self._client
        tail = await client.transport.stderr_tail() if client is not None else []
        await self.close()
        message = f"tool server {self.name} {cause}"
        if tail:
            message += "; its standard error ends:\n" + "\n".join(f"    {line}" for line in tail)
        raise ServerStartError({self.name: message})

    def listed(self, tools: frozenset[str]) -> None:
        """Told the names of its tools that the catalogue holds; changes are reported against them."""
        self._listed = tools

    async def close(self) -> None:
        """Shut the server down and wait until it is; safe to call again, and concurrently."""
        if self._closed is None:
            self._closing = True
            self._closed = asyncio.ensure_future(self._close())
        await asyncio.shield(self._closed)

    async def _close(self) -> None:
        if self._restart_task is not None:
            self._restart_task.cancel()
        for task in list(self._tasks):
            task.cancel()
        if self._client is not None:
            await self._client.close()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        if self._restart_task is not None:
            await asyncio.gather(self._restart_task, return_exceptions=True)

    def status(self) -> ServerStatus:
        client = self._client
        state: State
        if self._closing:
            state = "closed"
        elif self._restart_task is not None:
            state = "restarting"
        elif client is not None and client.alive and client.ready:
            state = "running"
        elif client is None:
            state = "starting"
        elif self._retry_at > time.monotonic():
            state = "unavailable"
        else:
            state = "down"
        return ServerStatus(
            name=self.name,
            transport="stdio" if isinstance(self.config, StdioServerConfig) else "http",
            state=state,
            pid=None if client is None or not client.alive else client.transport.pid,
            restarts=self._restarts,
            failures=self._failures,
            in_flight=0 if client is None else client.in_flight,
            last_error=self._last_error,
            protocol_version=None if client is None else client.protocol_version,
            server_info=client.server_info if client is not None else {},
        )

    # -- calls --------------------------------------------------------------------

    async def call(self, tool: str, arguments: Mapping[str, Any]) -> str:
        """The field value (JSON text) for one call; failures become tool error objects."""
        timeout = self.config.timeout
        try:
            async with asyncio.timeout(timeout) as scope:
                client = await self._ready()
                try:
                    result = await client.call_tool(tool, arguments)
                except SessionExpired:
                    # The server forgot the session before the call reached it:
                    # a new one is safe to try.
                    client = await self._ready()
                    result = await client.call_tool(tool, arguments)
        except TimeoutError:
            if not scope.expired():
                raise
            return error_value(f"tool server {self.name} timed out after {timeout:g} s while calling {tool}")
        except RpcError as error:
            self._answered(client)
            return error_value(
                f"tool server {self.name} returned error {error.code} while calling {tool}: {error.message}"
            )
        except Unavailable as error:
            return error_value(f"tool server {self.name} is unavailable, so {tool} was not called: {error}")
        except TransportError as error:
            return error_value(f"tool server {self.name} {error} while calling {tool}")
        self._answered(client)
        try:
            return field_value(result)
        except ValueError as error:
            return error_value(
                f"tool server {self.name} answered {tool} with a result that cannot be passed on: {error}"
            )

    def _answered(self, client: ProtocolClient) -> None:
        if client is self._client:
            self._failures = 0

    async def _ready(self) -> ProtocolClient:
        client = self._client
        if client is not None and client.alive and client.ready:
            return client
        if self._closing:
            raise TransportError("was shut down")
        if self._restart_task is None:
            wait = self._retry_at - time.monotonic()
            if wait > 0:
                raise Unavailable(
                    f"it {self._last_error} ({self._failures} failures in a row); "
                    f"the next restart is tried in {wait:.1f} s"
                )
            self._restart_task = asyncio.ensure_future(self._restart())
        return await asyncio.shield(self._restart_task)

    async def _restart(self) -> ProtocolClient:
        try:
            async with asyncio.timeout(self._start_timeout):
                client = await self._connect()
        except TimeoutError:
            cause = f"could not be restarted: it did not answer initialize within {self._start_timeout:g} s"
        except TransportError as error:
            cause = f"could not be restarted: it {error}"
        except RpcError as error:
            cause = f"could not be restarted: it answered initialize with error {error.code}: {error.message}"
        else:
            self._restarts += 1
            self._log.info("tool server %s restarted (pid %s)", self.name, client.transport.pid)
            return client
        finally:
            self._restart_task = None
        self._discard(self._client)
        self._failed(cause)
        raise TransportError(cause)

    async def _connect(self) -> ProtocolClient:
        transport: Transport
        if isinstance(self.config, StdioServerConfig):
            transport = StdioTransport(self.name, self.config, max_message_size=self._limit, shutdown_grace=self._grace)
        else:
            try:
                # httpx is needed only by servers reached over HTTP.
                from zarn.gateway.streamable_http import StreamableHttpTransport
            except ImportError as error:
                raise TransportError(f"needs httpx for its HTTP transport ({error})") from None
            transport = StreamableHttpTransport(
                self.name, self.config, max_message_size=self._limit, connect_timeout=self._start_timeout
            )
        client = ProtocolClient(self.name, transport, on_lost=self._lost, on_tools_changed=self._tools_changed)
        self._client = client
        self._stage = "initialize"
        await client.connect()
        return client

    # -- failures -----------------------------------------------------------------

    def _lost(self, client: ProtocolClient, cause: str) -> None:
        if client is not self._client or self._closing:
            return
        if client.ready:  # failures while connecting are counted where they are caught
            self._failed(cause)
        self._discard(client)

    def _failed(self, cause: str) -> None:
        self._failures += 1
        self._last_error = cause
        delay = restart_delay(self._failures)
        self._retry_at = time.monotonic() + delay
        if delay:
            self._log.warning(
                "tool server %s %s (%d failures in a row); the next restart is tried in %g s at the earliest",
                self.name,
                cause,
                self._failures,
                delay,
            )
        else:
            self._log.warning("tool server %s %s; it is started again on its next call", self.name, cause)

    def _discard(self, client: ProtocolClient | None) -> None:
        if client is not None:
            self._spawn(client.close())

    def _spawn(self, work: Any) -> None:
        task = asyncio.ensure_future(work)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    # -- tool list changes --------------------------------------------------------

    async def _list_tools(self, client: ProtocolClient) -> list[Any]:
        for _ in range(_RELISTS):
            self._changed_while_listing = False
            tools = await client.list_tools()
            if not self._changed_while_listing:
                break
        return tools

    def _tools_changed(self, client: ProtocolClient) -> None:
        if client is not self._client or self._closing:
            return
        if self._listed is None:
            self._changed_while_listing = True
        elif self._relisting is None:
            self._relisting = asyncio.ensure_future(self._relist(client))
            self._tasks.add(self._relisting)
            self._relisting.add_done_callback(self._relisted)

    def _relisted(self, task: asyncio.Task[None]) -> None:
        self._tasks.discard(task)
        self._relisting = None

    async def _relist(self, client: ProtocolClient) -> None:
        # The engine's catalogue never changes: say what differs from it.
        assert self._listed is not None
        try:
            async with asyncio.timeout(self.config.timeout):
                tools = await client.list_tools()
        except (TimeoutError, TransportError, RpcError) as error:
            self._log.warning("tool server %s says its tools changed, but listing them failed: %s", self.name, error)
            return
        names = {entry["name"] for entry in tools if isinstance(entry, Mapping) and isinstance(entry.get("name"), str)}
        change = sorted(names - self._listed), sorted(self._listed - names)
        if change == self._reported_change:
            return
        self._reported_change = change
        added, removed = change
        if added or removed:
            self._log.warning(
                "tool server %s changed its tools (added: %s; removed: %s); the gateway keeps the tools it "
                "listed at start until it is started again",
                self.name,
                ", ".join(added) or "none",
                ", ".join(removed) or "none",
            )
        else:
            self._log.info("tool server %s listed its tools again; they are those of the catalogue", self.name)
