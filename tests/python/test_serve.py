"""python -m zarn serve: refused options, and a real run with workers stopped by Ctrl-C."""

import json
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Any
from unittest.mock import ANY

import httpx
import pytest
from gateway_support import FAULT_SERVER

from zarn.__main__ import main

pytestmark = pytest.mark.timeout(120, method="thread")


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--host", "0.0.0.0"], "0.0.0.0 is not a loopback address: anyone who reaches it could run the tools"),
        (["--host", "::"], ":: is not a loopback address"),
        (["--workers", "0"], "--workers must be at least 1"),
        (["--port", "70000"], "--port 70000 is not a port number"),
        (["--path", "graphql"], "--path 'graphql' must start with /"),
        (["--catalogue", "/nonexistent/tools.json"], "cannot read catalogue '/nonexistent/tools.json'"),
        (["--token-file", "EMPTY"], "is empty"),
        (["--token-file", "/nonexistent/token"], "cannot read token file '/nonexistent/token'"),
        (
            ["--servers", "/nonexistent/servers.json", "--demo"],
            "--servers cannot be combined with --catalogue or --demo",
        ),
        (["--servers", "/nonexistent/servers.json"], "/nonexistent/servers.json"),
    ],
)
def test_options_that_cannot_be_served_are_refused(
    argv: list[str], message: str, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    empty = tmp_path / "token"
    empty.write_text("\n")
    argv = [str(empty) if arg == "EMPTY" else arg for arg in argv]
    assert main(["serve", *argv]) == 2
    assert message in capsys.readouterr().err


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def descendants(pid: int) -> set[int]:
    """Every living process below `pid`."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = Path(f"/proc/{entry}/stat").read_text()
            except OSError:
                continue
            parent = int(stat.rsplit(")", 1)[1].split()[1])
            children.setdefault(parent, []).append(int(entry))
    found: set[int] = set()
    pending = [pid]
    while pending:
        for child in children.get(pending.pop(), []):
            found.add(child)
            pending.append(child)
    return found


def alive(pid: int) -> bool:
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return stat.rsplit(")", 1)[1].split()[0] != "Z"


@pytest.mark.parametrize(
    ("serve", "workers", "query", "data"),
    [
        (["--demo"], 1, '{ files_search(query: "docs") }', {"files_search": {"hits": ANY, "total": 2}}),
        (
            ["--servers", "SERVERS", "--no-explorer", "--no-introspection"],
            2,
            "{ fault_echo(word: 1) }",
            {"fault_echo": {"isError": False, "json": {"word": 1}, "text": '{"word": 1}'}},
        ),
    ],
)
def test_serve_with_a_token_and_ctrl_c_leaves_no_process(
    tmp_path: Path, serve: list[str], workers: int, query: str, data: Any
) -> None:
    token = tmp_path / "token"
    token.write_text("t0ken\n")
    servers = tmp_path / "servers.json"
    servers.write_text(json.dumps({"mcpServers": {"fault": {"command": sys.executable, "args": [str(FAULT_SERVER)]}}}))
    options = [str(servers) if arg == "SERVERS" else arg for arg in serve]
    port = free_port()
    command = ["-m", "zarn", "serve", *options, "--workers", str(workers), "--port", str(port)]
    process = subprocess.Popen(
        [sys.executable, *command, "--token-file", str(token)],
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,  # its own process group, as a terminal's foreground job is
    )
    try:
        url = f"http://127.0.0.1:{port}/graphql"
        deadline = time.monotonic() + 60
        while True:
            try:
                response = httpx.post(url, json={"query": "{ __typename }"}, timeout=5)
                break
            except httpx.TransportError:
                assert process.poll() is None and time.monotonic() < deadline, "serve did not start"
                time.sleep(0.1)
        assert response.status_code == 401
        authorised = {"authorization": "Bearer t0ken"}
        for _ in range(4):  # every worker answers with its own engine and host or gateway
            answer = httpx.post(url, json={"query": query}, headers=authorised, timeout=30)
            assert answer.json() == {"data": data}
        page = httpx.get(url, headers={"accept": "text/html"}, timeout=30)
        fields = '{ __type(name: "Query") { fields { name args { name } } } }'
        introspection = httpx.post(url, json={"query": fields}, headers=authorised, timeout=30).json()
        if "--no-explorer" in serve:
            assert page.status_code == 401  # no page to serve without the token
            assert introspection == {"errors": [{"message": "unknown GraphQL field: __type"}]}
        else:
            assert page.status_code == 200 and page.headers["content-type"] == "text/html; charset=utf-8"
            arguments = {field["name"]: field["args"] for field in introspection["data"]["__type"]["fields"]}
            assert arguments["files_search"] == [{"name": "query"}, {"name": "limit"}]  # the demo's input schemas
        processes = descendants(process.pid)  # workers and their tool servers
        assert len(processes) >= (workers if workers > 1 else 0) * (2 if "--servers" in serve else 1)

        os.killpg(process.pid, signal.SIGINT)  # Ctrl-C
        _, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    assert process.returncode == 0, err
    deadline = time.monotonic() + 10  # orphans still on their way out are given a moment
    while [pid for pid in processes if alive(pid)] and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not [pid for pid in processes if alive(pid)]
    assert err.count("Application shutdown complete.") == workers
    assert err.count(" POST /graphql 200 - ") == 5  # one line per request
    assert err.count(" POST /graphql 401 - ") == 1
