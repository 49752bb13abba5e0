"""Helpers for the gateway's suites: the test servers and counts of what a process holds."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import pytest

ROOT = Path(__file__).resolve().parents[2]
FAULT_SERVER = ROOT / "tests" / "servers" / "fault_server.py"
PACKAGES = ROOT / "tests" / "servers" / "node_modules" / "@modelcontextprotocol"


def fault(*options: str, timeout: float | None = None, **entry: Any) -> dict[str, Any]:
    """A configuration entry for the fault-injecting server."""
    config: dict[str, Any] = {"command": sys.executable, "args": [str(FAULT_SERVER), *options], **entry}
    if timeout is not None:
        config["timeout"] = timeout
    return config


def public_server(package: str) -> str:
    """The entry script of an installed public server; skips (or fails under ZARN_REQUIRE_SERVERS=1) without it."""
    script = PACKAGES / package / "dist" / "index.js"
    missing = None if script.is_file() else f"{script.relative_to(ROOT)} is not installed (npm ci in tests/servers)"
    if missing is None and shutil.which("node") is None:
        missing = "node is not on PATH"
    if missing is not None:
        if os.environ.get("ZARN_REQUIRE_SERVERS") == "1":
            pytest.fail(f"ZARN_REQUIRE_SERVERS=1, but {missing}")
        pytest.skip(f"public tool servers unavailable: {missing}")
    return str(script)


def children() -> set[int]:
    """Process ids whose parent is this process, zombies included."""
    found = set()
    me = str(os.getpid())
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if fields[1] == me:
                found.add(int(entry))
    return found


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def os_threads() -> int:
    """Threads of this process, those the engine starts included."""
    return len(os.listdir("/proc/self/task"))


class HttpServer:
    """The everything server in its streamable HTTP mode on a loopback port, restartable on that port."""

    def __init__(self, script: str) -> None:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}/mcp"
        self._script = script
        self._process: subprocess.Popen[bytes] | None = None
        self._log = tempfile.TemporaryFile()  # noqa: SIM115 - what the server prints, across restarts; closed by close()

    def log(self) -> str:
        self._log.seek(0)
        return self._log.read().decode("utf-8", "replace")

    def start(self) -> None:
        env = dict(os.environ, PORT=str(self.port))
        self._process = subprocess.Popen(
            ["node", self._script, "streamableHttp"], env=env, stdout=self._log, stderr=subprocess.DEVNULL
        )
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if time.monotonic() > deadline or self._process.poll() is not None:
                    self.stop()
                    raise RuntimeError("the HTTP tool server did not start") from None
                time.sleep(0.05)

    @property
    def pid(self) -> int | None:
        return None if self._process is None else self._process.pid

    def stop(self) -> None:
        if self._process is not None:
            self._process.terminate()
            self._process.wait(10)
            self._process = None

    def close(self) -> None:
        self.stop()
        self._log.close()
