"""An event loop on a thread of its own, for the protocol clients of a gateway.

Sync and async callers both hand it coroutines: `run` blocks the calling
thread, `run_async` awaits from another event loop.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import threading
from collections.abc import Coroutine
from typing import Any, TypeVar

__all__ = ["LoopThread"]

T = TypeVar("T")


class LoopThread:
    def __init__(self, name: str) -> None:
        self._name = name
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None

    @property
    def loop(self) -> asyncio.AbstractEventLoop:
        if self._loop is None:
            raise RuntimeError("the event loop thread is not running")
        return self._loop

    def in_thread(self) -> bool:
        return self._thread is threading.current_thread()

    def start(self) -> None:
        loop = asyncio.new_event_loop()
        running = threading.Event()
        loop.call_soon(running.set)
        self._loop = loop
        self._thread = threading.Thread(target=_run, args=(loop,), name=self._name, daemon=True)
        self._thread.start()
        running.wait()

    def run(self, work: Coroutine[Any, Any, T]) -> T:
        """Run `work` on the loop and wait for its result here."""
        future = asyncio.run_coroutine_threadsafe(work, self.loop)
        try:
            return future.result()
        except BaseException:
            future.cancel()  # interrupted (KeyboardInterrupt): the work is cancelled, not left running
            raise

    async def run_async(self, work: Coroutine[Any, Any, T]) -> T:
        future: concurrent.futures.Future[T] = asyncio.run_coroutine_threadsafe(work, self.loop)
        return await asyncio.wrap_future(future)

    def stop(self) -> None:
        """Stop the loop, let what is left on it unwind, and join the thread."""
        loop, thread = self._loop, self._thread
        if loop is None or thread is None:
            return
        loop.call_soon_threadsafe(loop.stop)
        thread.join()
        self._loop = self._thread = None


def _run(loop: asyncio.AbstractEventLoop) -> None:
    asyncio.set_event_loop(loop)
    try:
        loop.run_forever()
        tasks = asyncio.all_tasks(loop)
        for task in tasks:
            task.cancel()
        loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
        loop.run_until_complete(loop.shutdown_asyncgens())
        loop.run_until_complete(loop.shutdown_default_executor())
    finally:
        asyncio.set_event_loop(None)
        loop.close()
