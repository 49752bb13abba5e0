"""Timing with a fresh `str` per call, as a host pays for text it has just
decoded from a socket, a file or an HTTP body.

CPython keeps a string's UTF-8 form on the object the first time something asks
for it, and its hash the first time it is hashed, so a benchmark that passes the
same object on every call measures neither. Here every call gets an object of
its own, decoded from bytes before the timed region and never used again; the
copies are made in batches of about 1 MiB, so that the one a call gets was
written shortly before, as a request's text would have been.
"""

from __future__ import annotations

import gc
import statistics
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

BATCH_BYTES = 1 << 20


@contextmanager
def quiet_gc() -> Iterator[None]:
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


def fresh_copy(text: str) -> str:
    """A new `str` equal to `text`, with nothing cached on it."""
    return text.encode("utf-8").decode("utf-8")


def _timed(call: Callable[[str], Any], raw: bytes, number: int) -> float:
    batch = max(1, BATCH_BYTES // max(len(raw), 1))
    elapsed = 0.0
    done = 0
    while done < number:
        copies = [raw.decode("utf-8") for _ in range(min(batch, number - done))]
        start = time.perf_counter()
        for copy in copies:
            call(copy)
        elapsed += time.perf_counter() - start
        done += len(copies)
        del copies
    return elapsed


def per_call_fresh(call: Callable[[str], Any], text: str, repeats: int, repeat_seconds: float) -> float:
    """Median seconds of `call(copy)` over `repeats` repeats of at least
    `repeat_seconds` each, every call with a fresh copy of `text`."""
    raw = text.encode("utf-8")
    with quiet_gc():
        number = 1
        while (elapsed := _timed(call, raw, number)) < repeat_seconds:
            number = max(number * 2, int(number * repeat_seconds / max(elapsed, 1e-9) * 1.1))
        samples = [_timed(call, raw, number) / number for _ in range(repeats)]
    return statistics.median(samples)
