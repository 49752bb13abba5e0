"""The gateway against a tool server that misbehaves on request (tests/servers/fault_server.py)."""

import gc
import json
import logging
import os
import signal
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from gateway_support import FAULT_SERVER, children, fault, open_fds, os_threads
from support import in_thread

from zarn.gateway import Gateway, ServerStartError

pytestmark = pytest.mark.timeout(60, method="thread")


@pytest.fixture(scope="module")
def gateway() -> Iterator[Gateway]:
    with Gateway({"fault": fault(), "slow": fault(timeout=0.5)}) as running:
        yield running


def values(gateway: Gateway, query: str) -> dict[str, Any]:
    document = json.loads(gateway.execute(query))
    assert document["errors"] == [], document
    return document["data"]  # type: ignore[no-any-return]


def text(value: str, is_error: bool = False, json_value: Any = None) -> dict[str, Any]:
    return {"isError": is_error, "json": json_value, "text": value}


def test_answers_out_of_order_and_noise_between_them(gateway: Gateway, caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.DEBUG, logger="zarn.servers.fault")
    data = values(
        gateway,
        """{ late: fault_sleep(seconds: 0.3, text: "late") early: fault_sleep(seconds: 0, text: "early")
             fault_noise fault_echo(n: 1, s: "é") fault_reject }""",
    )
    assert data == {
        "late": text("late"),
        "early": text("early"),
        "fault_noise": text("after the noise"),
        "fault_echo": text('{"n": 1, "s": "\\u00e9"}', json_value={"n": 1, "s": "é"}),
        "fault_reject": text("tool server fault returned error -32000 while calling reject: rejected as asked", True),
    }
    messages = [record.getMessage() for record in caplog.records]
    assert ("zarn.servers.fault", logging.WARNING, "db: careful") in caplog.record_tuples
    assert "ignored a line that is not JSON: b'this line is not JSON'" in messages
    assert "ignored an answer for unknown request id 987654" in messages
    assert "ignored a message that is not a JSON object: 1" in messages
    assert "ignored a line that is not JSON: b'" + "[" * 200 + "'" in messages


def test_server_requests_are_answered_or_refused(gateway: Gateway) -> None:
    assert values(gateway, "{ fault_ask }")["fault_ask"]["json"] == {
        "ping": {},
        "sampling": {"code": -32601, "message": "Method not found: zarn does not support sampling/createMessage"},
    }


def test_a_50_mb_result_comes_through(gateway: Gateway) -> None:
    value = values(gateway, "{ fault_big(size: 50000000) }")["fault_big"]
    assert value["text"] == "x" * 50_000_000 and value["json"] is None


def test_a_stderr_flood_goes_to_logging(gateway: Gateway, caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.INFO, logger="zarn.servers.fault")
    assert values(gateway, "{ fault_flood(bytes: 1000000) }")["fault_flood"] == text("flooded")
    wait_for(lambda: any(record.getMessage() == "flood ends" for record in caplog.records))
    assert all(len(record.getMessage()) <= 8192 for record in caplog.records)


def test_a_call_past_its_timeout_is_cancelled_at_the_server(gateway: Gateway) -> None:
    assert values(gateway, "{ slow_hang }")["slow_hang"] == text(
        "tool server slow timed out after 0.5 s while calling hang", True
    )
    # The request id is the server's own business; that it was cancelled is ours.
    cancelled: list[Any] = []
    wait_for(
        lambda: (
            cancelled.extend(values(gateway, "{ slow_cancelled }")["slow_cancelled"]["json"]["cancelled"]) or cancelled
        )
    )
    assert len(cancelled) == 1 and isinstance(cancelled[0], int)


def test_a_crash_fails_the_call_and_the_next_call_restarts_the_server(gateway: Gateway) -> None:
    before = values(gateway, "{ fault_pid }")["fault_pid"]["json"]["pid"]
    assert values(gateway, "{ fault_crash(status: 3) }")["fault_crash"] == text(
        "tool server fault exited with status 3 while calling crash", True
    )
    after = values(gateway, "{ fault_pid }")["fault_pid"]["json"]["pid"]
    assert after != before
    assert gateway.status()["fault"].restarts == 1 and gateway.status()["fault"].state == "running"


def test_a_changed_tool_list_is_reported(gateway: Gateway, caplog: pytest.LogCaptureFixture) -> None:
    caplog.set_level(logging.WARNING, logger="zarn.servers.fault")
    values(gateway, "{ fault_changed }")
    wait_for(lambda: any("changed its tools" in record.getMessage() for record in caplog.records))
    assert [r.getMessage() for r in caplog.records if "changed its tools" in r.getMessage()] == [
        "tool server fault changed its tools (added: extra; removed: none); "
        "the gateway keeps the tools it listed at start until it is started again"
    ]


def test_a_message_over_the_limit_drops_the_connection() -> None:
    with Gateway({"fault": fault()}, max_message_size=1 << 20) as gateway:
        assert values(gateway, "{ fault_big(size: 1048000) }")["fault_big"]["text"] == "x" * 1_048_000
        assert values(gateway, "{ fault_big(size: 1048576) }")["fault_big"] == text(
            "tool server fault sent a message larger than the 1 MiB limit while calling big", True
        )
        assert values(gateway, '{ fault_echo(a: "b") }')["fault_echo"]["json"] == {"a": "b"}


def test_a_server_that_keeps_dying_is_reported_unavailable(tmp_path: Path) -> None:
    # Starts once; every restart exits before initialize.
    marker = tmp_path / "started"
    script = f'if [ -e "{marker}" ]; then echo "no second life" >&2; exit 5; fi; touch "{marker}"; exec "$0" "$@"'
    entry = {"command": "sh", "args": ["-c", script, sys.executable, str(FAULT_SERVER)]}
    with Gateway({"fault": entry}) as gateway:
        assert values(gateway, "{ fault_crash(status: 1) }")["fault_crash"]["text"] == (
            "tool server fault exited with status 1 while calling crash"
        )
        assert values(gateway, "{ fault_pid }")["fault_pid"]["text"] == (
            "tool server fault could not be restarted: it exited with status 5 while calling pid"
        )
        unavailable = values(gateway, "{ fault_pid }")["fault_pid"]["text"]
        assert unavailable.startswith(
            "tool server fault is unavailable, so pid was not called: it could not be restarted: "
            "it exited with status 5 (2 failures in a row); the next restart is tried in "
        )
        status = gateway.status()["fault"]
        assert (status.state, status.failures, status.restarts) == ("unavailable", 2, 0)


@pytest.mark.parametrize(
    ("entry", "message"),
    [
        (
            fault("--exit-at-once", "4"),
            "tool server bad exited with status 4; its standard error ends:\n    fault server: exiting at once as asked",
        ),
        (
            fault("--mute"),
            "tool server bad did not answer initialize within 1 s; its standard error ends:\n    fault server: mute",
        ),
        (
            fault("--version", "1999-01-01"),
            "tool server bad answered initialize with protocol version '1999-01-01', which zarn does not speak "
            "(it speaks 2025-11-25, 2025-06-18, 2025-03-26, 2024-11-05)",
        ),
        (
            {"command": "no-such-command-here"},
            "tool server bad could not be started: command 'no-such-command-here' was not found",
        ),
        (
            fault(cwd="/no/such/dir"),
            "tool server bad could not be started: working directory '/no/such/dir' does not exist",
        ),
        (fault("a\x00b"), "tool server bad could not be started: embedded null byte"),
        (
            {"url": "http://127.0.0.1:9/mcp"},
            "tool server bad could not be reached at http://127.0.0.1:9/mcp: All connection attempts failed "
            "(Connection refused)",
        ),
    ],
)
def test_a_server_that_cannot_start_fails_start(entry: dict[str, Any], message: str) -> None:
    before = children()
    servers = {"good": fault(), "bad": entry}
    with pytest.raises(ServerStartError) as caught:
        Gateway(servers, start_timeout=1).start()
    assert str(caught.value) == message and caught.value.failures == {"bad": message}
    assert children() == before


def test_skip_failed_goes_on_without_the_server(caplog: pytest.LogCaptureFixture) -> None:
    message = (
        "tool server bad exited with status 4; its standard error ends:\n    fault server: exiting at once as asked"
    )
    servers = {"good": fault(), "bad": fault("--exit-at-once", "4")}
    with Gateway(servers, skip_failed=True) as gateway:
        assert gateway.skipped == {"bad": message}
        assert [spec.server for spec in gateway.tools] == ["good"] * 12
        assert values(gateway, "{ good_echo }")["good_echo"]["json"] == {}
    assert f"{message}\nThe gateway goes on without it." in caplog.messages


def test_shutdown_ends_calls_in_flight_and_leaves_nothing_behind() -> None:
    threads, fds, before, tasks = set(threading.enumerate()), open_fds(), children(), os_threads()
    # The stubborn server ignores the end of its input and SIGTERM: only SIGKILL ends it.
    data = close_with_calls_in_flight(Gateway({"fault": fault(), "stubborn": fault("--stubborn")}, shutdown_grace=0.2))
    assert data["fault_hang"] == data["stubborn_hang"] == text("CallBridge is detached", True)
    assert data["fault_echo"]["json"] == {"a": 1}
    assert children() == before
    assert set(threading.enumerate()) <= threads  # the pytest-timeout timer may have gone meanwhile
    assert open_fds() == fds
    gc.collect()  # the engine's own worker threads go with it
    assert os_threads() == tasks


def close_with_calls_in_flight(gateway: Gateway) -> dict[str, Any]:
    gateway.start()
    pids = {status.pid for status in gateway.status().values()}
    assert pids <= children() and len(pids) == 2
    running = in_thread(lambda: gateway.execute("{ fault_hang stubborn_hang fault_echo(a: 1) }"))
    wait_for(lambda: sum(status.in_flight for status in gateway.status().values()) == 2)
    gateway.close()
    with pytest.raises(RuntimeError, match="Gateway is closed"):
        gateway.execute("{ __typename }")
    return json.loads(running.result(10))["data"]  # type: ignore[no-any-return]


def test_async_face() -> None:
    import asyncio

    async def main() -> tuple[str, str]:
        async with Gateway({"fault": fault()}) as gateway:
            first, second = await asyncio.gather(
                gateway.execute_async("{ fault_echo(a: 1) }"), gateway.execute_async("{ fault_pid }")
            )
            return first, second

    first, second = asyncio.run(main())
    assert json.loads(first)["data"]["fault_echo"]["json"] == {"a": 1}
    assert "pid" in json.loads(second)["data"]["fault_pid"]["json"]


def wait_for(condition: Any, seconds: float = 10.0) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("the condition never held")
        time.sleep(0.01)


def test_sigkill_mid_call_reports_the_signal() -> None:
    with Gateway({"fault": fault()}) as gateway:
        running = in_thread(lambda: gateway.execute("{ fault_hang }"))
        wait_for(lambda: gateway.status()["fault"].in_flight == 1)
        pid = gateway.status()["fault"].pid
        assert pid is not None
        os.kill(pid, signal.SIGKILL)
        assert json.loads(running.result(10))["data"]["fault_hang"] == text(
            "tool server fault was killed by signal SIGKILL while calling hang", True
        )
