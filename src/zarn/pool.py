"""A thread pool whose threads follow demand.

An execution blocks its thread for as long as its slowest tool takes, so a
host that awaits many executions at once needs as many threads, and one that
is idle needs none. `ElasticPool` starts a thread when work arrives and no
thread is free, up to a bound; past the bound, work waits in order without a
thread of its own; a thread that has had nothing to do for `idle_seconds`
ends.
"""

from __future__ import annotations

import collections
import concurrent.futures
import threading
from collections.abc import Callable
from typing import Any, Final

__all__ = ["ElasticPool"]

_Work = tuple[concurrent.futures.Future[Any], Callable[..., Any], tuple[Any, ...], dict[str, Any]]


class ElasticPool(concurrent.futures.Executor):
    """An executor of at most `max_threads` threads, started on demand and ended when idle."""

    def __init__(self, max_threads: int, *, name: str, idle_seconds: float = 10.0) -> None:
        if max_threads < 1:
            raise ValueError("ElasticPool needs at least one thread")
        self._max_threads: Final = max_threads
        self._name: Final = name
        self._idle_seconds: Final = idle_seconds
        self._lock = threading.Condition(threading.Lock())
        self._work: collections.deque[_Work] = collections.deque()  # guarded by _lock
        self._threads: set[threading.Thread] = set()  # guarded by _lock
        self._idle = 0  # threads waiting for work; guarded by _lock
        self._started = 0  # threads ever started, for their names; guarded by _lock
        self._closed = False  # guarded by _lock

    def thread_count(self) -> int:
        """The threads alive now, busy or idle."""
        with self._lock:
            return len(self._threads)

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> concurrent.futures.Future[Any]:
        future: concurrent.futures.Future[Any] = concurrent.futures.Future()
        with self._lock:
            if self._closed:
                raise RuntimeError(f"{self._name} pool is shut down")
            self._work.append((future, fn, args, kwargs))
            # Idle threads that are already woken count against the queued work.
            if self._idle >= len(self._work):
                self._lock.notify()
            elif len(self._threads) < self._max_threads:
                self._start_thread_locked()
        return future

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        """Refuse new work; the work queued still runs (unless cancelled) and the threads end."""
        with self._lock:
            self._closed = True
            if cancel_futures:
                while self._work:
                    self._work.popleft()[0].cancel()
            self._lock.notify_all()
            threads = list(self._threads)
        if wait:
            current = threading.current_thread()
            for thread in threads:
                if thread is not current:
                    thread.join()

    def _start_thread_locked(self) -> None:
        self._started += 1
        thread = threading.Thread(target=self._run, name=f"{self._name}-{self._started}", daemon=True)
        self._threads.add(thread)
        thread.start()

    def _run(self) -> None:
        while (work := self._next()) is not None:
            future, fn, args, kwargs = work
            if not future.set_running_or_notify_cancel():
                continue
            try:
                result = fn(*args, **kwargs)
            except BaseException as error:  # the future carries it to the caller
                future.set_exception(error)
            else:
                future.set_result(result)
            del work, future, fn, args, kwargs  # drop references before waiting again

    def _next(self) -> _Work | None:
        with self._lock:
            while not self._work:
                if self._closed:
                    break
                self._idle += 1
                woken = self._lock.wait(self._idle_seconds)
                self._idle -= 1
                if not woken and not self._work:
                    break
            if self._work:
                return self._work.popleft()
            self._threads.discard(threading.current_thread())
            return None
