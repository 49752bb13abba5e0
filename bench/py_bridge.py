"""The call-bridge protocol in pure Python, and the host service loops.

PyBridge is the peer that zarn's native bridge is measured against: the same
request text and request ids, a bounded queue.Queue(1024) of request texts and
a dict of concurrent.futures.Future keyed by request id. The service loop is
the same for both bridges: receive, json.loads of the request, respond. Every
wait blocks (queue timeouts, futures), none spins: a spinning loop starves the
other thread when both share one core.
"""

from __future__ import annotations

import itertools
import json
import os
import queue
import threading
from collections.abc import Callable, Iterator
from concurrent.futures import Future
from contextlib import contextmanager
from typing import Any, Protocol

QUEUE_CAPACITY = 1024
# How long an idle service thread waits before it looks at its stop flag.
IDLE_WAIT_MS = 100


class PyBridge:
    def __init__(self) -> None:
        self._requests: queue.Queue[str] = queue.Queue(QUEUE_CAPACITY)
        self._pending: dict[str, Future[str]] = {}
        self._ids = itertools.count(1)  # next() is atomic under the interpreter lock

    def start_call(self, server: str, tool: str, arguments: dict[str, Any], operation: str) -> Future[str]:
        request_id = f"tool-call-{next(self._ids)}"
        reply: Future[str] = Future()
        # Registered before it is queued, so a received request always has a waiter.
        self._pending[request_id] = reply
        text = json.dumps(
            {"request_id": request_id, "server": server, "tool": tool, "arguments": arguments, "operation": operation},
            separators=(",", ":"),
            ensure_ascii=False,
        )
        self._requests.put(text)
        return reply

    def call_tool(self, server: str, tool: str, arguments: dict[str, Any], operation: str) -> Any:
        return json.loads(self.start_call(server, tool, arguments, operation).result())

    def receive_tool_call(self, timeout_ms: int = IDLE_WAIT_MS) -> str | None:
        try:
            return self._requests.get(timeout=timeout_ms / 1000)
        except queue.Empty:
            return None

    def respond_tool_call(self, request_id: str, result_json: str) -> bool:
        reply = self._pending.pop(request_id, None)
        if reply is None:
            return False
        reply.set_result(result_json)
        return True

    def pending_count(self) -> int:
        return len(self._pending)


class Host(Protocol):
    def receive_tool_call(self, timeout_ms: int = ...) -> str | None: ...
    def respond_tool_call(self, request_id: str, result_json: str) -> bool: ...


def pin_current_thread(cpu: int | None) -> None:
    if cpu is not None:
        os.sched_setaffinity(0, {cpu})  # 0: the calling thread only


def serve(host: Host, reply_text: str, stop: threading.Event, cpu: int | None = None) -> None:
    """Answers every request with `reply_text` until `stop` is set."""
    pin_current_thread(cpu)
    while not stop.is_set():
        text = host.receive_tool_call(IDLE_WAIT_MS)
        if text is None:
            continue
        request = json.loads(text)
        host.respond_tool_call(request["request_id"], reply_text)


@contextmanager
def service_threads(host: Host, reply_text: str, count: int, cpus: list[int | None] | None = None) -> Iterator[None]:
    """`count` service threads for the length of the block."""
    stop = threading.Event()
    placement = cpus if cpus is not None else [None] * count
    threads = [
        threading.Thread(
            target=serve, args=(host, reply_text, stop, placement[i]), name=f"tool-service-{i}", daemon=True
        )
        for i in range(count)
    ]
    for thread in threads:
        thread.start()
    try:
        yield
    finally:
        stop.set()
        for thread in threads:
            thread.join()


@contextmanager
def pinned(cpu: int | None) -> Iterator[None]:
    """Pins the calling thread to `cpu` for the length of the block."""
    if cpu is None:
        yield
        return
    before = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {cpu})
    try:
        yield
    finally:
        os.sched_setaffinity(0, before)


def run_threads(work: Callable[[], None], count: int) -> None:
    """Runs `work` on `count` threads at once and waits for all of them."""
    start = threading.Barrier(count)
    failures: list[BaseException] = []

    def body() -> None:
        start.wait()
        try:
            work()
        except Exception as error:  # reported on the calling thread
            failures.append(error)

    threads = [threading.Thread(target=body) for _ in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]


def bridge_execute(bridge: PyBridge, calls: list[tuple[str, str, str, dict[str, Any], str]]) -> str:
    """The pure-Python bridge without GraphQL: (alias, server, tool, arguments,
    operation) calls all in flight at once, the replies parsed, the response
    document written."""
    replies = [
        (alias, bridge.start_call(server, tool, args, operation)) for alias, server, tool, args, operation in calls
    ]
    data = {alias: json.loads(reply.result()) for alias, reply in replies}
    return json.dumps({"data": data, "errors": []}, separators=(",", ":"), ensure_ascii=False)
