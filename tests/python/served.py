"""A real HTTP server for the suites: uvicorn on a loopback port, in a thread of the test process."""

import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import uvicorn


@contextmanager
def serve_asgi(app: Any, timeout: float = 10.0) -> Iterator[str]:
    """Serves `app` on 127.0.0.1 at a free port; yields its base URL, stops the server on exit."""
    config = uvicorn.Config(app, host="127.0.0.1", port=0, log_level="warning", lifespan="off", access_log=False)
    server = uvicorn.Server(config)
    thread = threading.Thread(target=server.run, name="test-uvicorn", daemon=True)
    thread.start()
    started = threading.Event()
    while not server.started and thread.is_alive():
        started.wait(0.01)
    if not server.started:
        raise RuntimeError("uvicorn did not start")
    port = server.servers[0].sockets[0].getsockname()[1]
    try:
        yield f"http://127.0.0.1:{port}"
    finally:
        server.should_exit = True
        thread.join(timeout)
        assert not thread.is_alive(), "uvicorn did not stop"
