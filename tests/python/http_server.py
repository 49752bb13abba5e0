"""A real uvicorn on a loopback port for the HTTP suites, and the catalogue they serve."""

import json
import socket
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import uvicorn

CATALOGUE = json.dumps(
    [
        {
            "server": "files",
            "tools": [
                {"name": "read", "description": "Read a file"},
                {"name": "write", "annotations": {"readOnlyHint": False}},
                {"name": "wait", "description": "Waits until the test lets it go"},
            ],
        }
    ]
)


class Recorder:
    """Handlers for the catalogue's tools that record every call they get."""

    def __init__(self) -> None:
        self.calls: list[tuple[str, dict[str, Any]]] = []
        self.lock = threading.Lock()
        self.release = threading.Event()
        self.waiting = threading.Event()

    def handlers(self) -> dict[tuple[str, str], Any]:
        def record(tool: str) -> Any:
            def handle(args: dict[str, Any]) -> Any:
                with self.lock:
                    self.calls.append((tool, args))
                if tool == "wait":
                    self.waiting.set()
                    if not self.release.wait(30):
                        raise TimeoutError("the test never released the tool")
                return {"tool": tool, "args": args}

            return handle

        return {("files", tool): record(tool) for tool in ("read", "write", "wait")}

    def take(self) -> list[tuple[str, dict[str, Any]]]:
        with self.lock:
            calls, self.calls = self.calls, []
        return calls


@contextmanager
def serving(app: Any, **config: Any) -> Iterator[str]:
    """Serve `app` with uvicorn on a thread; yields the base URL. The lifespan runs."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    server = uvicorn.Server(uvicorn.Config(app, lifespan="on", log_level="warning", access_log=False, **config))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, name="uvicorn-under-test")
    thread.start()
    deadline = time.monotonic() + 30
    while not server.started:
        if not thread.is_alive() or time.monotonic() > deadline:
            raise RuntimeError("uvicorn did not start")
        time.sleep(0.01)
    try:
        yield f"http://127.0.0.1:{port}"
    finally:
        server.should_exit = True
        thread.join(60)
        sock.close()
        assert not thread.is_alive(), "uvicorn did not stop"
