"""Serve an engine's tool calls from Python.

`ToolHost` owns the service loop that every host would otherwise write by hand:
its threads pull tool-call requests from the engine, run the handler registered
for the request's (server, tool) pair and answer the call, and its shutdown
detaches the bridge so that no `execute` is left waiting.
"""

from __future__ import annotations

import asyncio
import contextlib
import difflib
import functools
import inspect
import json
import logging
import threading
from collections.abc import Awaitable, Callable, Mapping
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Final, Literal, Self, TypeVar

from zarn._graphql import SchemaEngine
from zarn.loop_thread import LoopThread
from zarn.pool import ElasticPool
from zarn.toolspec import search_entries

__all__ = ["Fallback", "Handler", "RawJson", "ToolCall", "ToolHost"]

DETACHED_MESSAGE: Final = "CallBridge is detached"
CANCELLED_MESSAGE: Final = "tool call was cancelled"

_log = logging.getLogger(__name__)


@dataclass(frozen=True, slots=True)
class RawJson:
    """A handler result that is JSON text already; it goes to the engine unchanged.

    A plain `str` result is a JSON string value; wrap text in `RawJson` when it
    is a serialised document. The engine parses it, and text that is not JSON
    becomes a tool error object in the response.
    """

    text: str


@dataclass(frozen=True, slots=True)
class ToolCall:
    """One tool-call request, as the fallback handler receives it."""

    request_id: str
    server: str
    tool: str
    arguments: dict[str, Any]
    operation: Literal["query", "mutation"]


# A handler takes the call's arguments and returns a JSON-serialisable value, a
# RawJson, or an awaitable of either (an `async def` handler).
Handler = Callable[[dict[str, Any]], Any]
Fallback = Callable[[ToolCall], Any]
H = TypeVar("H", bound=Handler)
F = TypeVar("F", bound=Fallback | None)


# Compact JSON text without NaN, made once: json.dumps with options builds an
# encoder on every call, a third of the cost of a small document.
compact_json: Final = json.JSONEncoder(ensure_ascii=False, allow_nan=False, separators=(",", ":")).encode


def variables_text(variables: Mapping[str, Any] | str | None) -> str | None:
    """Variables as the engine takes them: text is passed on, a mapping is serialised once."""
    if variables is None or isinstance(variables, str):
        return variables
    return compact_json(variables)


def _nested_raw(value: Any) -> Any:
    # A RawJson inside a result is spliced in as the value its text holds;
    # parsing it keeps text that is not one JSON value from changing the
    # shape of the document around it.
    if isinstance(value, RawJson):
        try:
            return json.loads(value.text)
        except ValueError as error:
            raise ValueError(f"RawJson text is not JSON: {error}") from None
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


# Made once, as compact_json is. NaN and infinities are not JSON: the
# engine would reject the reply with a less helpful message, so they are
# refused here and reported as the handler's fault.
_encode_reply: Final = json.JSONEncoder(
    ensure_ascii=False, allow_nan=False, separators=(",", ":"), default=_nested_raw
).encode


def reply_text(result: Any) -> str:
    if isinstance(result, RawJson):
        return result.text
    return _encode_reply(result)


def failure_text(error: BaseException) -> str:
    """What a failed call's tool error says: "KeyError: 'id'", or the type alone without a message."""
    message = str(error)
    text = f"{type(error).__name__}: {message}" if message else type(error).__name__
    # A lone surrogate has no UTF-8 form and the engine would refuse the whole
    # message, leaving the call unanswered; escape it instead.
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


# A call handed to the event loop: the call and the awaitable its handler gave.
_Started = tuple[ToolCall, Awaitable[Any]]
# The most calls taken off the queue and handed to the loop at once.
_BATCH_LIMIT: Final = 256


def _discard(awaitable: Awaitable[Any]) -> None:
    if inspect.iscoroutine(awaitable):
        awaitable.close()  # never scheduled: don't leave it to warn "never awaited"


def _cancel_all(tasks: list[asyncio.Future[Any]]) -> None:
    for task in tasks:
        task.cancel()


class ToolHost:
    """Serve the tool calls of one `SchemaEngine` with registered Python handlers.

    Register handlers per (server, tool) with `add_tool` or the `tool`
    decorator; names are the catalogue's own (the names the request text
    carries, not the GraphQL field names). A handler takes the arguments dict
    and returns a JSON-serialisable value, a `RawJson`, or is an `async def`
    whose result is one of those; coroutines run on `loop` when one is given
    (it must be running), otherwise on an event loop thread that the host
    starts when first needed. A handler that raises fails its call with
    "Type: message" and is logged with its traceback on the "zarn.host"
    logger.

    `execute_async` runs up to `execute_threads` executions at once, each on a
    thread that the host starts when it is needed and ends after a while
    without work; executions past that bound wait for a free thread without
    holding one.

    Entering the host (or `start`) attaches the bridge and starts `threads`
    service threads; leaving it (or `close`) stops serving, detaches the bridge
    so that every waiting `execute` returns, and joins the threads. A host is
    started once.
    """

    _running: Final[dict[int, ToolHost]] = {}  # engines with a host serving them, by id
    _running_lock: Final = threading.Lock()

    def __init__(
        self,
        engine: SchemaEngine,
        handlers: Mapping[tuple[str, str], Handler] | None = None,
        *,
        fallback: Fallback | None = None,
        threads: int = 4,
        loop: asyncio.AbstractEventLoop | None = None,
        poll_ms: int = 20,
        execute_threads: int = 256,
    ) -> None:
        if threads < 1:
            raise ValueError("ToolHost needs at least one service thread")
        if execute_threads < 1:
            raise ValueError("ToolHost needs at least one execute thread")
        if poll_ms < 1:
            raise ValueError("ToolHost poll_ms must be at least 1")
        if loop is not None and not isinstance(loop, asyncio.AbstractEventLoop):
            raise TypeError(f"ToolHost loop must be an asyncio event loop, not {type(loop).__name__}")
        self._fallback: Fallback | None = None
        self.set_fallback(fallback)  # checked before the handlers, as the other options are
        self._engine: Final = engine
        self._tools: dict[tuple[str, str], str] | None = None  # (server, tool) -> field, read on first use
        self._handlers: dict[tuple[str, str], Handler] = {}
        for (server, tool), handler in (handlers or {}).items():
            self.add_tool(server, tool, handler)
        self._thread_count: Final = threads
        self._poll_ms: Final = poll_ms
        self._execute_threads: Final = execute_threads
        self._given_loop: Final = loop

        self._lock = threading.Lock()
        self._state: Literal["new", "running", "closed"] = "new"  # guarded by _lock
        self._stopping = threading.Event()
        self._threads: list[threading.Thread] = []
        self._executing = 0  # execute calls in progress through this host; guarded by _lock
        # Calls handed to the event loop, by request id: their task once it runs. guarded by _lock
        self._in_flight: dict[str, asyncio.Future[Any] | None] = {}
        self._own_loop: LoopThread | None = None  # guarded by _lock
        self._executor: ElasticPool | None = None  # guarded by _lock

    # -- registration ---------------------------------------------------------

    @property
    def engine(self) -> SchemaEngine:
        return self._engine

    def add_tool(self, server: str, tool: str, handler: Handler) -> None:
        """Register (or replace) the handler of tool `tool` of server `server`.

        The names are the catalogue's own; a pair that the catalogue does not
        have raises `ValueError` naming the closest ones, and a handler that
        is not callable raises `TypeError`.
        """
        if not callable(handler):
            raise TypeError(f"ToolHost handler for {server}.{tool} must be callable, not {type(handler).__name__}")
        tools = self._catalogue_tools()
        if (server, tool) not in tools:
            raise ValueError(_unknown_tool_message(server, tool, tools))
        self._handlers[(server, tool)] = handler

    def tool(self, server: str, tool: str) -> Callable[[H], H]:
        """Decorator form of `add_tool`; returns the function unchanged."""

        def register(handler: H) -> H:
            self.add_tool(server, tool, handler)
            return handler

        return register

    def set_fallback(self, fallback: F) -> F:
        """Set (None: remove) the handler for calls that no registered handler takes.

        Usable as a decorator: returns its argument unchanged.
        """
        if fallback is not None and not callable(fallback):
            raise TypeError(f"ToolHost fallback must be callable, not {type(fallback).__name__}")
        self._fallback = fallback
        return fallback

    def unhandled_tools(self) -> list[tuple[str, str]]:
        """The catalogue's (server, tool) pairs without a handler of their own, in catalogue order."""
        return [pair for pair in self._catalogue_tools() if pair not in self._handlers]

    def _catalogue_tools(self) -> dict[tuple[str, str], str]:
        # The catalogue never changes, so the engine's own listing is read once.
        if self._tools is None:
            self._tools = {(hit["server"], hit["tool"]): hit["field"] for hit in search_entries(self._engine)}
        return self._tools

    # -- lifecycle ------------------------------------------------------------

    def start(self) -> None:
        """Attach the bridge and start the service threads."""
        with self._lock:
            if self._state != "new":
                raise RuntimeError("ToolHost has already been started")
            with ToolHost._running_lock:
                # A second host's shutdown would detach the bridge under the first.
                if id(self._engine) in ToolHost._running:
                    raise RuntimeError("SchemaEngine already has a running ToolHost")
                ToolHost._running[id(self._engine)] = self
            self._state = "running"
            # Still under the lock: a close from another thread waits until the
            # host is fully up, so it never detaches before this attach.
            self._engine.attach_call_bridge()
            for index in range(self._thread_count):
                thread = threading.Thread(target=self._serve, name=f"zarn-tool-host-{index}", daemon=True)
                self._threads.append(thread)
                thread.start()

    def close(self) -> None:
        """Stop serving, end every waiting call, and join the host's threads.

        Handlers already running finish first (their answers reach no one once
        the bridge is detached); coroutines still running are cancelled.
        Closing twice, or closing a host never started, is harmless; `execute`
        and `execute_async` are refused afterwards.
        """
        with self._lock:
            was_running = self._state == "running"
            self._state = "closed"
        if not was_running:
            self._shutdown_executor()  # execute_async may have started it all the same
            return
        self._stopping.set()
        try:
            self._engine.detach_call_bridge()
            current = threading.current_thread()
            for thread in self._threads:
                if thread is not current:  # closed from inside a handler
                    thread.join()
            self._cancel_in_flight()
            self._drain()
            self._stop_own_loop()
        finally:
            # Whatever went wrong above, the engine is free for another host.
            self._shutdown_executor()
            with ToolHost._running_lock:
                ToolHost._running.pop(id(self._engine), None)

    def _shutdown_executor(self) -> None:
        with self._lock:
            executor, self._executor = self._executor, None
        if executor is not None:
            executor.shutdown(wait=True)

    def _drain(self) -> None:
        # A resolver that read the bridge as attached just before the detach
        # registers its call after the detach has ended the pending ones; its
        # request would then wait in the queue forever. Fail whatever is queued
        # until no execute of this host is in progress, and once more for
        # executes that went to the engine directly.
        engine = self._engine
        while True:
            with self._lock:
                busy = self._executing > 0
            text = engine.receive_tool_call(self._poll_ms if busy else 0)
            if text is not None:
                engine.fail_tool_call(json.loads(text)["request_id"], DETACHED_MESSAGE)
            elif not busy:
                return

    def __enter__(self) -> Self:
        self.start()
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()

    async def __aenter__(self) -> Self:
        self.start()
        return self

    async def __aexit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        # Joining waits for running handlers: keep the event loop free meanwhile.
        await asyncio.to_thread(self.close)

    # -- execution ------------------------------------------------------------

    def execute(self, query: str, variables: Mapping[str, Any] | str | None = None) -> str:
        """Run a query and return the response document text (blocks until every tool field has a value).

        Never call it from the only service thread: the calls it makes need a
        free service thread to be answered.
        """
        text = variables_text(variables)
        self._check_loop()
        with self._lock:
            # Refused after close, so that the shutdown drain sees every execution
            # that could still be waiting on the bridge.
            if self._state == "closed":
                raise RuntimeError("ToolHost is closed")
            self._executing += 1
        try:
            return self._engine.execute(query, text)
        finally:
            with self._lock:
                self._executing -= 1

    async def execute_async(self, query: str, variables: Mapping[str, Any] | str | None = None) -> str:
        """`execute` on one of the host's execute threads, leaving the event loop free.

        Cancelling the awaiting task abandons the result only: the execution
        still ends once its tool calls are answered (or at `close`), so it
        leaves no thread or pending call behind.
        """
        text = variables_text(variables)
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(self._execute_pool(), self.execute, query, text)

    def _execute_pool(self) -> ElasticPool:
        # A pool of its own: executions block for as long as their tools take,
        # and must not starve the loop's default executor that handlers may use.
        with self._lock:
            if self._state == "closed":
                raise RuntimeError("ToolHost is closed")
            if self._executor is None:
                self._executor = ElasticPool(self._execute_threads, name="zarn-execute")
            return self._executor

    def _check_loop(self) -> None:
        # Async handlers run on the host's event loop, which this execute would
        # wait for: it must be running, and not on this very thread.
        given = self._given_loop
        if given is not None and (given.is_closed() or not given.is_running()):
            raise RuntimeError(
                "ToolHost's event loop is not running, so its async handlers could never run: start the loop "
                "(for example loop.run_forever() on a thread of its own) before executing, or leave loop= out "
                "and the host runs a loop of its own"
            )
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            return
        own = self._own_loop
        if running is given or (own is not None and running is own.loop):
            raise RuntimeError(
                "ToolHost.execute was called on the thread that runs the host's event loop, where it would wait "
                "forever for the async handlers that loop must run: use 'await host.execute_async(...)' there"
            )

    # -- serving --------------------------------------------------------------

    def _serve(self) -> None:
        engine = self._engine
        batch: list[_Started] = []
        while not self._stopping.is_set():
            text = engine.receive_tool_call(self._poll_ms)
            # While handlers hand back awaitables, the requests already queued
            # are taken too and handed to the event loop together: one wake-up
            # of the loop for the lot. A request taken is answered, stopping or not.
            while text is not None and self._dispatch(text, batch) and len(batch) < _BATCH_LIMIT:
                text = engine.receive_tool_call(0)
            if batch:
                self._start_async(batch)
                batch = []

    def _dispatch(self, text: str, batch: list[_Started]) -> bool:
        """Run the call's handler; True when it handed back an awaitable, now in `batch`."""
        request = json.loads(text)
        call = ToolCall(
            request["request_id"], request["server"], request["tool"], request["arguments"], request["operation"]
        )
        handler = self._handlers.get((call.server, call.tool))
        fallback = self._fallback
        try:
            function: Callable[[Any], Any]
            argument: Any
            if handler is not None:
                function, argument = handler, call.arguments
            elif fallback is not None:
                function, argument = fallback, call
            else:
                self._engine.fail_tool_call(call.request_id, f"ToolHost has no handler for {call.server}.{call.tool}")
                return False
            if batch and not inspect.iscoroutinefunction(function):
                # A handler that may block first lets the coroutines already taken run.
                self._start_async(batch[:])
                batch.clear()
            result = function(argument)
            if inspect.isawaitable(result):
                batch.append((call, result))
                return True
            self._answer(call, result)
        except BaseException as error:
            # Even SystemExit: the service threads belong to the host, and a
            # thread that ended here would leave later calls waiting unserved.
            self._fail(call, error)
        return False

    def _fail(self, call: ToolCall, error: BaseException) -> None:
        _log.error("tool %s.%s failed (%s)", call.server, call.tool, call.request_id, exc_info=error)
        self._engine.fail_tool_call(call.request_id, failure_text(error))

    def _answer(self, call: ToolCall, result: Any) -> None:
        try:
            text = reply_text(result)
            self._engine.respond_tool_call(call.request_id, text)
        except Exception as error:  # not serialisable, or text without a UTF-8 form
            self._fail(call, error)

    def _start_async(self, batch: list[_Started]) -> None:
        with self._lock:
            for call, _ in batch:
                self._in_flight[call.request_id] = None
        try:
            self._event_loop().call_soon_threadsafe(self._spawn, batch)
        except BaseException as error:  # the loop is closed
            with self._lock:
                for call, _ in batch:
                    self._in_flight.pop(call.request_id, None)
            for call, awaitable in batch:
                _discard(awaitable)
                self._fail(call, error)

    def _spawn(self, batch: list[_Started]) -> None:
        # On the event loop. A call that close() has answered meanwhile is not started.
        for call, awaitable in batch:
            with self._lock:
                task = None
                if call.request_id in self._in_flight:
                    task = self._in_flight[call.request_id] = asyncio.ensure_future(awaitable)
            if task is None:
                _discard(awaitable)
            else:
                task.add_done_callback(functools.partial(self._task_done, call))

    def _task_done(self, call: ToolCall, task: asyncio.Future[Any]) -> None:
        with self._lock:
            if self._in_flight.pop(call.request_id, None) is None:
                return  # answered by close()
        if task.cancelled():
            self._engine.fail_tool_call(call.request_id, CANCELLED_MESSAGE)
        elif (error := task.exception()) is not None:
            self._fail(call, error)
        else:
            self._answer(call, task.result())

    def _cancel_in_flight(self) -> None:
        # The calls are answered here and now: the loop may be blocked (a
        # close() on its own thread) and an execute may be waiting for them.
        with self._lock:
            in_flight, self._in_flight = self._in_flight, {}
        for request_id in in_flight:
            self._engine.fail_tool_call(request_id, CANCELLED_MESSAGE)
        tasks = [task for task in in_flight.values() if task is not None]
        if tasks:
            with contextlib.suppress(RuntimeError):  # a closed loop runs nothing any more
                self._event_loop().call_soon_threadsafe(_cancel_all, tasks)

    def _event_loop(self) -> asyncio.AbstractEventLoop:
        if self._given_loop is not None:
            return self._given_loop
        with self._lock:
            if self._own_loop is None:
                own = LoopThread("zarn-tool-loop")
                own.start()
                self._own_loop = own
            return self._own_loop.loop

    def _stop_own_loop(self) -> None:
        with self._lock:
            own = self._own_loop
        if own is not None:
            own.stop()


def _unknown_tool_message(server: str, tool: str, tools: Mapping[tuple[str, str], str]) -> str:
    for (known_server, known_tool), field in tools.items():
        if tool == field and server == known_server:
            return (
                f"ToolHost: {tool!r} is the GraphQL field of tool {known_tool!r} of server {server!r}; "
                f"register the catalogue's names: ({server!r}, {known_tool!r})"
            )
    names = [f"{known_server}.{known_tool}" for known_server, known_tool in tools]
    close = difflib.get_close_matches(f"{server}.{tool}", names, n=3, cutoff=0.6)
    hint = f"; did you mean {', '.join(close)}?" if close else ""
    return f"ToolHost: the catalogue has no tool {tool!r} of server {server!r}{hint}"
