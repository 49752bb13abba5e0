import asyncio
import gc
import threading
import warnings
from collections.abc import Generator
from typing import Any

import pytest
from conftest import CATALOGUE
from test_host import DETACHED, data, host_threads, query, tool_error

from zarn import SchemaEngine, ToolCall, ToolHost

# Executions block in native code where a signal cannot reach them: the thread
# method ends a stuck run for certain.
pytestmark = pytest.mark.timeout(120, method="thread")


class Ready:
    """A hand-written awaitable, to show that any awaitable result is awaited."""

    def __await__(self) -> Generator[Any, None, str]:
        yield from asyncio.sleep(0).__await__()
        return "ready"


def test_async_handlers_on_the_hosts_own_loop(engine: SchemaEngine) -> None:
    loops: list[asyncio.AbstractEventLoop] = []
    host = ToolHost(engine)

    @host.tool("alpha", "lookup")
    async def lookup(args: dict[str, Any]) -> dict[str, Any]:
        loops.append(asyncio.get_running_loop())
        await asyncio.sleep(0)
        return {"q": args["q"]}

    @host.tool("alpha", "store")
    async def store(args: dict[str, Any]) -> None:
        await asyncio.sleep(0)
        raise PermissionError("read-only volume")

    host.add_tool("beta", "echo", lambda args: Ready())
    with host:
        for _ in range(3):
            doc = data(query(host, '{ alpha_lookup(q: "x") alpha_store beta_echo }'))
            assert doc == {
                "alpha_lookup": {"q": "x"},
                "alpha_store": tool_error("PermissionError: read-only volume"),
                "beta_echo": "ready",
            }
        assert "zarn-tool-loop" in host_threads()
    assert len(set(loops)) == 1 and loops[0].is_closed()
    assert host_threads() == []


def test_a_service_on_its_own_loop() -> None:
    # Handlers run on the service's loop while execute_async waits on it: were
    # the loop blocked, no handler could run and the query would never finish.
    engine = SchemaEngine(CATALOGUE)

    async def service() -> list[Any]:
        loop = asyncio.get_running_loop()
        async with ToolHost(engine, loop=loop) as host:

            @host.tool("beta", "echo")
            async def echo(args: dict[str, Any]) -> Any:
                assert asyncio.get_running_loop() is loop
                await asyncio.sleep(0)
                return args

            queries = [host.execute_async("query($n: Int) { beta_echo(n: $n) }", {"n": n}) for n in range(20)]
            return [data(text)["beta_echo"]["n"] for text in await asyncio.gather(*queries)]

    assert asyncio.run(service()) == list(range(20))
    assert host_threads() == []


def test_execute_async_checks_variables_before_it_runs(engine: SchemaEngine) -> None:
    async def run() -> None:
        host = ToolHost(engine)
        with pytest.raises(TypeError, match="not JSON serializable"):
            await host.execute_async("{ __typename }", {"v": {1}})
        assert await host.execute_async("query($v: Int) { __typename }", '{"v": 1}') == (
            '{"data":{"__typename":"Query"},"errors":[]}'
        )
        host.close()
        with pytest.raises(RuntimeError, match="^ToolHost is closed$"):
            await host.execute_async("{ __typename }")

    asyncio.run(run())


def test_cancelled_query_ends_when_its_calls_are_answered(engine: SchemaEngine) -> None:
    taken = threading.Event()
    gate = threading.Event()
    answered: list[bool] = []
    done = threading.Event()

    def slow(call: ToolCall) -> int:
        taken.set()
        gate.wait(30)
        # True: the abandoned execution was still waiting for this call
        answered.append(engine.respond_tool_call(call.request_id, "1"))
        done.set()
        return 1

    host = ToolHost(engine, fallback=slow)

    async def run() -> None:
        task = asyncio.ensure_future(host.execute_async("{ beta_echo }"))
        while not taken.is_set():
            await asyncio.sleep(0.001)
        task.cancel()  # the tool is still running: the awaiter is released all the same
        with pytest.raises(asyncio.CancelledError):
            await task

    try:
        with host:
            asyncio.run(run())
            gate.set()
            assert done.wait(30)
            assert data(query(host, "{ beta_echo }")) == {"beta_echo": 1}  # the host serves on
    finally:
        gate.set()
    assert answered == [True, True]
    assert engine.receive_tool_call(0) is None
    assert host_threads() == []


def test_close_cancels_coroutines_of_a_cancelled_query(engine: SchemaEngine) -> None:
    entered = threading.Event()
    cleaned_up = threading.Event()

    async def forever(args: dict[str, Any]) -> None:
        entered.set()
        try:
            await asyncio.Event().wait()
        finally:
            cleaned_up.set()

    host = ToolHost(engine, {("beta", "echo"): forever, ("alpha", "lookup"): forever})
    host.start()

    async def run() -> None:
        task = asyncio.ensure_future(host.execute_async("{ beta_echo alpha_lookup }"))
        while not entered.is_set():
            await asyncio.sleep(0.001)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        await asyncio.to_thread(host.close)

    asyncio.run(run())
    assert cleaned_up.is_set()
    assert engine.receive_tool_call(0) is None
    assert host_threads() == []


def test_execution_in_flight_at_close_returns_detached(engine: SchemaEngine) -> None:
    entered = threading.Event()

    async def forever(args: dict[str, Any]) -> None:
        entered.set()
        await asyncio.Event().wait()

    host = ToolHost(engine, {("beta", "echo"): forever})

    async def run() -> str:
        async with host:
            task = asyncio.ensure_future(host.execute_async("{ beta_echo }"))
            while not entered.is_set():
                await asyncio.sleep(0.001)
        return await task

    assert data(asyncio.run(run())) == {"beta_echo": DETACHED}


def test_a_closed_loop_is_refused_and_never_loses_a_call(engine: SchemaEngine) -> None:
    loop = asyncio.new_event_loop()
    loop.close()

    async def echo(args: dict[str, Any]) -> int:
        return 1

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with ToolHost(engine, {("beta", "echo"): echo}, loop=loop) as host:
            with pytest.raises(RuntimeError, match="^ToolHost's event loop is not running"):
                host.execute("{ beta_echo }")
            # A call that reaches the host all the same becomes a tool error.
            error = tool_error("RuntimeError: Event loop is closed")
            assert data(engine.execute("{ beta_echo }")) == {"beta_echo": error}
        gc.collect()
    assert [str(w.message) for w in caught if "never awaited" in str(w.message)] == []


def test_leaving_the_host_cancels_its_coroutines_on_a_given_loop(engine: SchemaEngine) -> None:
    async def service() -> tuple[str, bool]:
        entered = asyncio.Event()
        cleaned_up = asyncio.Event()

        async def forever(args: dict[str, Any]) -> None:
            entered.set()
            try:
                await asyncio.Event().wait()
            finally:
                cleaned_up.set()

        async with ToolHost(engine, {("beta", "echo"): forever}, loop=asyncio.get_running_loop()) as host:
            task = asyncio.ensure_future(host.execute_async("{ beta_echo }"))
            await entered.wait()
        # the loop outlives the host: its coroutine must not stay behind on it
        await asyncio.wait_for(cleaned_up.wait(), 30)
        return await task, cleaned_up.is_set()

    text, cleaned = asyncio.run(service())
    assert data(text) == {"beta_echo": DETACHED}
    assert cleaned


def test_execute_on_the_hosts_loop_thread_is_refused(engine: SchemaEngine) -> None:
    # Waiting there would keep the loop from running the handlers waited for.
    async def service() -> str:
        async with ToolHost(engine, loop=asyncio.get_running_loop()) as host:
            with pytest.raises(RuntimeError, match="^ToolHost.execute was called on the thread that runs"):
                host.execute("{ beta_echo }")
            return await host.execute_async("{ __typename }")

    assert data(asyncio.run(service())) == {"__typename": "Query"}

    host = ToolHost(engine)

    async def nested(args: dict[str, Any]) -> str:
        return host.execute("{ __typename }")  # on the host's own loop thread

    host.add_tool("beta", "echo", nested)
    with host:
        value = data(query(host, "{ beta_echo }"))["beta_echo"]
    assert value["isError"] and value["text"].startswith("RuntimeError: ToolHost.execute was called on the thread")


def test_a_loop_that_is_not_running_is_refused(engine: SchemaEngine) -> None:
    loop = asyncio.new_event_loop()
    try:
        with ToolHost(engine, loop=loop) as host, pytest.raises(RuntimeError, match="start the loop"):
            host.execute("{ __typename }")
    finally:
        loop.close()


def test_execute_async_concurrency_follows_demand_up_to_the_bound(engine: SchemaEngine) -> None:
    # Every handler waits until `expected` calls are in flight at once: with
    # fewer executions running together than that, the queries never finish.
    async def service(count: int, bound: int | None) -> int:
        loop = asyncio.get_running_loop()
        in_flight, peak = 0, 0
        everyone = asyncio.Event()
        options = {} if bound is None else {"execute_threads": bound}
        async with ToolHost(engine, loop=loop, **options) as host:

            @host.tool("beta", "echo")
            async def echo(args: dict[str, Any]) -> int:
                nonlocal in_flight, peak
                in_flight += 1
                peak = max(peak, in_flight)
                if in_flight >= min(count, bound or count):
                    everyone.set()
                await everyone.wait()
                in_flight -= 1
                return 1

            texts = await asyncio.wait_for(
                asyncio.gather(*(host.execute_async("{ beta_echo }") for _ in range(count))), 60
            )
        assert all(data(text) == {"beta_echo": 1} for text in texts)
        return peak

    assert asyncio.run(service(50, None)) == 50  # far past the old 16
    assert asyncio.run(service(12, 4)) == 4  # the bound set holds
    assert host_threads() == []
