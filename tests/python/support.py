"""Helpers shared by the Python suites."""

import json
import time
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import contextmanager
from typing import Any

from zarn._graphql import SchemaEngine


def in_thread(fn: Callable[[], Any]) -> Future[Any]:
    """Runs fn on a thread of its own; the future gives its result."""
    pool = ThreadPoolExecutor(max_workers=1)
    future = pool.submit(fn)
    pool.shutdown(wait=False)
    return future


def take_request(engine: SchemaEngine, timeout: float = 10.0) -> dict[str, Any]:
    """The next tool-call request, parsed; fails the test if none comes."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        text = engine.receive_tool_call(50)
        if text is not None:
            return json.loads(text)  # type: ignore[no-any-return]
    raise AssertionError("no tool call arrived")


@contextmanager
def attached(engine: SchemaEngine) -> Iterator[SchemaEngine]:
    engine.attach_call_bridge()
    try:
        yield engine
    finally:
        engine.detach_call_bridge()  # never leave an execute waiting


class Index:
    """An object whose __index__ gives `value`, or raises it when it is an exception."""

    def __init__(self, value: Any) -> None:
        self.value = value

    def __index__(self) -> Any:
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value
