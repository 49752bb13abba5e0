"""`Gateway`: tool servers, the engine built from their tools, and the host that forwards calls.

The protocol clients run on an event loop thread of the gateway's own; the
`ToolHost` is given that loop, and its handlers are coroutines that forward
each call to its server there. `with` and `async with` (or `start`/`close`
and `start_async`/`close_async`) drive the same core coroutines on that loop.
"""

from __future__ import annotations

import asyncio
import atexit
import logging
import math
import os
import threading
import weakref
from collections.abc import Mapping, Sequence
from types import TracebackType
from typing import Any, Final, Literal, Self

from zarn._graphql import SchemaEngine
from zarn.gateway.catalogue import Collision, ListedServer, assemble, find_collisions, tool_specs
from zarn.gateway.config import WHITE_SPACE, ServerConfig, read_config, server_config
from zarn.gateway.server import ServerStartError, ServerStatus, ToolServer
from zarn.gateway.transport import MAX_MESSAGE_SIZE
from zarn.host import Handler, RawJson, ToolHost
from zarn.loop_thread import LoopThread
from zarn.toolspec import ToolSpec

__all__ = ["DEFAULT_START_TIMEOUT", "Gateway"]

DEFAULT_START_TIMEOUT: Final = 30.0

logger = logging.getLogger(__name__)

_open_gateways: weakref.WeakSet[Gateway] = weakref.WeakSet()


class Gateway:
    """A set of named tool servers behind one `SchemaEngine`.

    `servers` maps each name to its configuration: a `StdioServerConfig`, an
    `HttpServerConfig`, or an entry as a configuration file has it
    (`{"command": ..., "args": [...]}`); `from_config` reads a whole file.

    Starting it starts and initialises every server concurrently (each within
    `start_timeout` seconds), lists their tools, assembles the catalogue, and
    builds the engine and the `ToolHost` that forwards each tool call to its
    server. A server that fails to start fails `start` with a
    `ServerStartError` naming it, unless `skip_failed` is true: then a warning
    names it and the gateway goes on without it. Closing it ends the calls in
    flight and stops every server. A gateway is started once.

    `threads` is the host's service threads: its handlers only hand each call
    to the gateway's event loop, and one thread does that with the least
    contention. `max_message_size` bounds what one server message may be;
    `shutdown_grace` is the seconds between the steps of stopping a server.
    """

    def __init__(
        self,
        servers: Mapping[str, ServerConfig | Mapping[str, Any]],
        *,
        start_timeout: float = DEFAULT_START_TIMEOUT,
        skip_failed: bool = False,
        max_message_size: int = MAX_MESSAGE_SIZE,
        shutdown_grace: float = 2.0,
        threads: int = 1,
    ) -> None:
        configs: dict[str, ServerConfig] = {}
        for name, entry in servers.items():
            if not name.strip(WHITE_SPACE) or name != name.strip(WHITE_SPACE):
                raise ValueError(f"server name {name!r} is blank or has white space around it")
            configs[name] = entry if isinstance(entry, ServerConfig) else server_config(name, entry)
        for option, value in (("start_timeout", start_timeout), ("shutdown_grace", shutdown_grace)):
            if not math.isfinite(value) or value <= 0:
                raise ValueError(f"Gateway {option} must be a positive number of seconds")
        if max_message_size < 1:
            raise ValueError("Gateway max_message_size must be at least 1 byte")
        if threads < 1:
            raise ValueError("Gateway needs at least one service thread")
        self._configs: Final = configs
        self._start_timeout = start_timeout
        self._skip_failed = skip_failed
        self._max_message_size = max_message_size
        self._shutdown_grace = shutdown_grace
        self._threads = threads
        self._lock = threading.Lock()
        self._state: Literal["new", "starting", "running", "closed"] = "new"  # guarded by _lock
        self._loop_thread = LoopThread("zarn-gateway")
        self._servers: dict[str, ToolServer] = {}
        self._skipped: dict[str, str] = {}
        self._engine: SchemaEngine | None = None
        self._host: ToolHost | None = None
        self._tools: tuple[ToolSpec, ...] = ()
        self._collisions: tuple[Collision, ...] = ()
        self._catalogue_text: str | None = None

    @classmethod
    def from_config(
        cls,
        source: str | os.PathLike[str] | Mapping[str, Any],
        *,
        start_timeout: float = DEFAULT_START_TIMEOUT,
        skip_failed: bool = False,
        max_message_size: int = MAX_MESSAGE_SIZE,
        shutdown_grace: float = 2.0,
        threads: int = 1,
    ) -> Gateway:
        """A gateway for the servers of a configuration file (or its parsed mapping); see `read_config`."""
        return cls(
            read_config(source),
            start_timeout=start_timeout,
            skip_failed=skip_failed,
            max_message_size=max_message_size,
            shutdown_grace=shutdown_grace,
            threads=threads,
        )

    # -- what it serves ---------------------------------------------------------

    @property
    def engine(self) -> SchemaEngine:
        if self._engine is None:
            raise RuntimeError("Gateway is not started")
        return self._engine

    @property
    def host(self) -> ToolHost:
        if self._host is None:
            raise RuntimeError("Gateway is not started")
        return self._host

    @property
    def tools(self) -> Sequence[ToolSpec]:
        """Every listed tool, in catalogue order, with the field the engine gives it."""
        self.engine  # noqa: B018 - raises before start
        return self._tools

    @property
    def catalogue_text(self) -> str:
        """The catalogue JSON text that the engine was built from."""
        if self._catalogue_text is None:
            raise RuntimeError("Gateway is not started")
        return self._catalogue_text

    @property
    def collisions(self) -> Sequence[Collision]:
        """Tools whose field another tool (the first) or a built-in field answers instead."""
        self.engine  # noqa: B018
        return self._collisions

    @property
    def skipped(self) -> Mapping[str, str]:
        """Servers left out at start (with `skip_failed`), with what went wrong."""
        return dict(self._skipped)

    @property
    def server_names(self) -> Sequence[str]:
        return list(self._configs)

    def schema_sdl(self) -> str:
        """The GraphQL schema of the tools the engine answers, their arguments typed from their
        input schemas, in the schema definition language (`zarn.schema`; needs graphql-core)."""
        from zarn.schema import schema_sdl

        return schema_sdl(self.tools)

    def status(self) -> dict[str, ServerStatus]:
        """How each running server is doing: state, process id, restarts, last error."""
        return {name: server.status() for name, server in list(self._servers.items())}

    # -- lifecycle --------------------------------------------------------------

    def start(self) -> None:
        self._begin()
        try:
            self._loop_thread.run(self._open())
        except BaseException:
            self._abandon()
            raise
        if not self._mark_running():
            self._abandon()
            raise RuntimeError("Gateway was closed while it started")

    async def start_async(self) -> None:
        """`start` for asyncio code: the servers start while the caller's event loop runs on."""
        self._begin()
        try:
            await self._loop_thread.run_async(self._open())
        except BaseException:
            await asyncio.to_thread(self._abandon)
            raise
        if not self._mark_running():
            await asyncio.to_thread(self._abandon)
            raise RuntimeError("Gateway was closed while it started")

    def close(self) -> None:
        """Detach the bridge (waiting executes return), cancel calls in flight, stop every server.

        Each stdio server has its input closed, then gets SIGTERM and then
        SIGKILL, `shutdown_grace` seconds apart, until it exits. Closing twice,
        or a gateway never started, is harmless.
        """
        if self._loop_thread.in_thread():
            raise RuntimeError("Gateway.close would wait on its own event loop; call close_async or use a thread")
        with self._lock:
            if self._state != "running":
                self._state = "closed"
                return  # a start in progress sees the close and undoes itself
        self._abandon()

    async def close_async(self) -> None:
        await asyncio.to_thread(self.close)

    def __enter__(self) -> Self:
        self.start()
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()

    async def __aenter__(self) -> Self:
        await self.start_async()
        return self

    async def __aexit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        await self.close_async()

    # -- execution --------------------------------------------------------------

    def execute(self, query: str, variables: Mapping[str, Any] | str | None = None) -> str:
        """Run a query; see `ToolHost.execute`. A tool field's value is its server's result (README)."""
        return self._running_host().execute(query, variables)

    async def execute_async(self, query: str, variables: Mapping[str, Any] | str | None = None) -> str:
        return await self._running_host().execute_async(query, variables)

    def _running_host(self) -> ToolHost:
        with self._lock:
            state = self._state
        if state != "running" or self._host is None:
            raise RuntimeError("Gateway is closed" if state == "closed" else "Gateway is not started")
        return self._host

    # -- the core, on the gateway's event loop ----------------------------------

    def _begin(self) -> None:
        with self._lock:
            if self._state != "new":
                raise RuntimeError("Gateway has already been started")
            self._state = "starting"
        self._loop_thread.start()

    def _mark_running(self) -> bool:
        with self._lock:
            if self._state != "starting":
                return False  # closed from another thread meanwhile
            self._state = "running"
            _open_gateways.add(self)
            return True

    def _abandon(self) -> None:
        with self._lock:
            self._state = "closed"
        if self._host is not None:
            self._host.close()
        self._teardown()

    def _teardown(self) -> None:
        _open_gateways.discard(self)
        try:
            self._loop_thread.run(self._shut_down())
        finally:
            self._loop_thread.stop()

    async def _open(self) -> None:
        for name, config in self._configs.items():
            self._servers[name] = ToolServer(
                name,
                config,
                start_timeout=self._start_timeout,
                max_message_size=self._max_message_size,
                shutdown_grace=self._shutdown_grace,
            )
        outcomes = await asyncio.gather(*(server.start() for server in self._servers.values()), return_exceptions=True)
        listed: list[ListedServer] = []
        failures: dict[str, str] = {}
        for name, outcome in zip(list(self._servers), outcomes, strict=True):
            if isinstance(outcome, ServerStartError):
                failures.update(outcome.failures)
                listed.append(ListedServer(name, None, []))
            elif isinstance(outcome, BaseException):
                raise outcome
            else:
                listed.append(outcome)
        if failures and not self._skip_failed:
            raise ServerStartError(failures)
        for name, message in failures.items():
            logger.warning("%s\nThe gateway goes on without it.", message)
            self._skipped[name] = message
            del self._servers[name]

        catalogue_text, listed_tools = assemble(listed)
        engine = SchemaEngine(catalogue_text)
        tools = tuple(tool_specs(engine, listed_tools))
        collisions = tuple(find_collisions(tools))
        for collision in collisions:
            logger.warning("%s", collision)
        handlers: dict[tuple[str, str], Handler] = {}
        for spec in tools:
            handlers.setdefault(
                (spec.server, spec.name.strip(WHITE_SPACE)), _forwarder(self._servers[spec.server], spec.name)
            )
        for name, server in self._servers.items():
            server.listed(frozenset(spec.name for spec in tools if spec.server == name))
        host = ToolHost(engine, handlers, loop=asyncio.get_running_loop(), threads=self._threads)
        self._catalogue_text, self._engine, self._tools, self._collisions = catalogue_text, engine, tools, collisions
        self._host = host
        host.start()

    async def _shut_down(self) -> None:
        await asyncio.gather(*(server.close() for server in self._servers.values()), return_exceptions=True)

    def __repr__(self) -> str:
        return f"<Gateway {self._state} servers={list(self._configs)!r}>"


def _forwarder(server: ToolServer, tool: str) -> Handler:
    async def forward(arguments: dict[str, Any]) -> RawJson:
        return RawJson(await server.call(tool, arguments))

    return forward


@atexit.register
def _close_open_gateways() -> None:
    # A gateway left open at exit would leave its servers running.
    for gateway in list(_open_gateways):
        try:
            gateway.close()
        except Exception:
            logger.exception("closing %r at exit failed", gateway)
