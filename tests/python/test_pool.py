import threading
import time

import pytest

from zarn.pool import ElasticPool


def test_threads_follow_demand_and_end_when_idle() -> None:
    pool = ElasticPool(3, name="zarn-test-pool", idle_seconds=0.05)
    gate = threading.Event()
    futures = [pool.submit(gate.wait, 30) for _ in range(5)]
    assert pool.thread_count() == 3  # the bound: two submissions wait without a thread
    gate.set()
    assert [future.result(30) for future in futures] == [True] * 5
    deadline = time.monotonic() + 30
    while pool.thread_count() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert pool.thread_count() == 0
    assert pool.submit(lambda: 7).result(30) == 7  # a new thread when work comes back
    pool.shutdown()
    assert pool.thread_count() == 0
    with pytest.raises(RuntimeError, match="zarn-test-pool pool is shut down"):
        pool.submit(int)


def test_shutdown_runs_queued_work_and_passes_errors_on() -> None:
    pool = ElasticPool(1, name="zarn-test-pool")
    gate = threading.Event()
    first = pool.submit(gate.wait, 30)
    failing = pool.submit(lambda: 1 / 0)
    cancelled = pool.submit(int)
    assert cancelled.cancel()
    gate.set()
    pool.shutdown(wait=True)
    assert first.result() is True
    with pytest.raises(ZeroDivisionError):
        failing.result()
    assert [t for t in threading.enumerate() if t.name.startswith("zarn-test-pool")] == []
