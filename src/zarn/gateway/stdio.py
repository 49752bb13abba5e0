"""The stdio transport: a child process with one JSON message per line on its stdin and stdout.

The child runs in a session of its own, so that stopping it reaches whatever it
started (npx runs the real server as its own child). Its standard error is
read as it comes and logged line by line on the logger "zarn.servers.NAME",
so the pipe never fills; the last lines are kept for error messages.
"""

from __future__ import annotations

import asyncio
import collections
import contextlib
import logging
import os
import shutil
import signal
from collections.abc import Mapping
from typing import Any, Final, cast

from zarn.gateway.config import StdioServerConfig
from zarn.gateway.transport import (
    MAX_MESSAGE_SIZE,
    Receiver,
    Transport,
    TransportError,
    decode_message,
    encode_message,
    size_text,
)

__all__ = ["INHERITED_ENVIRONMENT", "StdioTransport", "child_environment", "describe_exit"]

# What a server inherits from the host's environment; the entry's "env" comes
# on top. The rest (API keys of other services, say) stays with the host, as
# in the protocol's desktop clients.
INHERITED_ENVIRONMENT: Final = ("HOME", "LOGNAME", "PATH", "SHELL", "TERM", "USER", "LANG", "LC_ALL", "TMPDIR", "TZ")

_STDERR_LINE: Final = 8192  # longer stderr lines are logged in pieces
_STDERR_TAIL: Final = 20  # lines kept for error messages
_SETTLE: Final = 1.0  # seconds between one end of the child (exit, stdout closed) and the other


def child_environment(extra: Mapping[str, str]) -> dict[str, str]:
    env = {key: os.environ[key] for key in INHERITED_ENVIRONMENT if key in os.environ}
    env.update(extra)
    return env


def describe_exit(returncode: int) -> str:
    if returncode >= 0:
        return f"exited with status {returncode}"
    try:
        name = signal.Signals(-returncode).name
    except ValueError:
        name = str(-returncode)
    return f"was killed by signal {name}"


class StdioTransport(Transport):
    def __init__(
        self,
        name: str,
        config: StdioServerConfig,
        *,
        max_message_size: int = MAX_MESSAGE_SIZE,
        shutdown_grace: float = 2.0,
    ) -> None:
        self._name = name
        self._config = config
        self._limit = max_message_size
        self._grace = shutdown_grace
        self._log = logging.getLogger(f"zarn.servers.{name}")
        self._receiver: Receiver | None = None
        self._process: asyncio.SubprocessTransport | None = None
        self._stdin: asyncio.WriteTransport | None = None
        self._exited: asyncio.Future[int] | None = None
        self._stderr_done: asyncio.Future[None] | None = None
        self._stdout_open = True
        self._line = bytearray()  # the incomplete stdout line
        self._err_line = bytearray()
        self._tail: collections.deque[str] = collections.deque(maxlen=_STDERR_TAIL)
        self._lost: str | None = None  # the cause, once the connection has ended
        self._write_paused: asyncio.Future[None] | None = None
        self._settle: asyncio.TimerHandle | None = None
        self._stopping: asyncio.Task[None] | None = None

    # -- the Transport interface ------------------------------------------------

    async def open(self, receiver: Receiver) -> None:
        config = self._config
        env = child_environment(config.env)
        program = shutil.which(config.command, path=env.get("PATH", os.defpath))
        if program is None:
            raise TransportError(f"could not be started: command {config.command!r} was not found")
        if config.cwd is not None and not os.path.isdir(config.cwd):
            raise TransportError(f"could not be started: working directory {config.cwd!r} does not exist")
        loop = asyncio.get_running_loop()
        self._receiver = receiver
        self._exited = loop.create_future()
        self._stderr_done = loop.create_future()
        try:
            process, _ = await loop.subprocess_exec(
                lambda: _ChildProtocol(self),
                program,
                *config.args,
                stdin=asyncio.subprocess.PIPE,
                stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.PIPE,
                env=env,
                cwd=config.cwd,
                start_new_session=True,
            )
        except (OSError, ValueError) as error:  # ValueError: a NUL in an argument or variable
            raise TransportError(f"could not be started: {error}") from None
        self._process = process
        # Casts, not isinstance checks: other event loops (uvloop) have transports
        # of their own classes with the same methods.
        self._stdin = cast(asyncio.WriteTransport, process.get_pipe_transport(0))
        self._log.debug("started %s (pid %s)", program, process.get_pid())

    async def send(self, message: Mapping[str, Any]) -> None:
        if self._lost is not None:
            raise TransportError(self._lost)
        if self._stdin is None or self._stdin.is_closing():
            raise TransportError("closed its standard input")
        self._stdin.write(encode_message(message) + b"\n")
        if self._write_paused is not None:
            await asyncio.shield(self._write_paused)

    @property
    def pid(self) -> int | None:
        return None if self._process is None else self._process.get_pid()

    async def stderr_tail(self) -> list[str]:
        # The last words often arrive just after the exit that prompted the question.
        if self._stderr_done is not None and self._exited is not None and self._exited.done():
            with contextlib.suppress(TimeoutError):
                await asyncio.wait_for(asyncio.shield(self._stderr_done), _SETTLE)
        tail = list(self._tail)
        if self._err_line:
            tail.append(self._err_line.decode("utf-8", "replace"))
        return tail

    async def close(self) -> None:
        await asyncio.shield(self._begin_stop())

    # -- stopping ---------------------------------------------------------------

    async def _stop(self) -> None:
        process, exited = self._process, self._exited
        if process is None or exited is None:
            return
        self._lose("was shut down")
        if not exited.done():
            # Ask first: a server ends when its input ends; then SIGTERM, then SIGKILL.
            if self._stdin is not None:
                self._stdin.close()
            for stop in (signal.SIGTERM, signal.SIGKILL):
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(asyncio.shield(exited), self._grace)
                if exited.done():
                    break
                self._log.debug("sending %s to its process group", stop.name)
                self._signal_group(stop)
            if not exited.done():
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(asyncio.shield(exited), max(self._grace, 5.0))
            if not exited.done():
                self._log.warning("tool server %s (pid %s) did not exit after SIGKILL", self._name, process.get_pid())
        # Whatever the server left running in its session goes too.
        self._signal_group(signal.SIGTERM)
        if self._settle is not None:
            self._settle.cancel()
        process.close()

    def _signal_group(self, stop: signal.Signals) -> None:
        pid = self.pid
        if pid is not None:
            with contextlib.suppress(ProcessLookupError, PermissionError):
                os.killpg(pid, stop)

    def _lose(self, cause: str) -> None:
        if self._lost is not None:
            return
        self._lost = cause
        if self._write_paused is not None and not self._write_paused.done():
            self._write_paused.set_result(None)
        if self._receiver is not None:
            self._receiver.connection_lost(cause)

    def _fail(self, cause: str) -> None:
        # The server broke the protocol in a way that leaves its stream unusable.
        self._lose(cause)
        self._begin_stop()

    def _begin_stop(self) -> asyncio.Future[None]:
        if self._stopping is None:
            self._stopping = asyncio.ensure_future(self._stop())
        return self._stopping

    # -- events from the child ----------------------------------------------------

    def _stdout_data(self, data: bytes) -> None:
        receiver = self._receiver
        if receiver is None or self._lost is not None:
            return
        view = memoryview(data)
        start = 0
        while (end := data.find(b"\n", start)) >= 0:
            if self._line:
                if len(self._line) + end - start > self._limit:
                    self._too_large()
                    return
                line, self._line = self._line, bytearray()
                line += view[start:end]
                self._deliver(line)
            else:
                if end - start > self._limit:
                    self._too_large()
                    return
                self._deliver(view[start:end].tobytes())
            if self._lost is not None:
                return
            start = end + 1
        if start < len(data):
            if len(self._line) + len(data) - start > self._limit:
                self._too_large()
                return
            self._line += view[start:]

    def _too_large(self) -> None:
        self._line.clear()
        self._fail(f"sent a message larger than the {size_text(self._limit)} limit")

    def _deliver(self, line: bytes | bytearray) -> None:
        if not line.strip():
            return
        try:
            message = decode_message(line)
        except ValueError:
            self._log.warning("ignored a line that is not JSON: %r", bytes(line[:200]))
            return
        assert self._receiver is not None
        try:
            self._receiver.message_received(message)
        except Exception:
            # Nothing a server sends may stop the reading of what follows.
            self._log.exception("failed to handle a message: %.200r", bytes(line[:200]))

    def _stdout_closed(self) -> None:
        self._stdout_open = False
        exited = self._exited
        if exited is not None and exited.done():
            self._lose(describe_exit(exited.result()))
        else:
            # The exit status usually follows at once; give it a moment.
            self._settle = asyncio.get_running_loop().call_later(_SETTLE, self._settled)

    def _process_exited(self, returncode: int) -> None:
        if self._exited is not None and not self._exited.done():
            self._exited.set_result(returncode)
        if not self._stdout_open:
            if self._settle is not None:
                self._settle.cancel()
            self._lose(describe_exit(returncode))
        else:
            # Something the server started may still hold its stdout open.
            self._settle = asyncio.get_running_loop().call_later(_SETTLE, self._settled)

    def _settled(self) -> None:
        exited = self._exited
        if exited is not None and exited.done():
            self._lose(describe_exit(exited.result()))
        else:
            self._fail("closed its standard output")

    def _stderr_data(self, data: bytes) -> None:
        self._err_line += data
        while True:
            end = self._err_line.find(b"\n")
            if end < 0:
                if len(self._err_line) < _STDERR_LINE:
                    return
                end = _STDERR_LINE
                line, self._err_line = self._err_line[:end], self._err_line[end:]
            else:
                line, self._err_line = self._err_line[:end], self._err_line[end + 1 :]
            self._stderr_line(line.decode("utf-8", "replace").rstrip("\r"))

    def _stderr_line(self, text: str) -> None:
        self._tail.append(text)
        self._log.info("%s", text)

    def _stderr_closed(self) -> None:
        if self._err_line:
            self._stderr_line(self._err_line.decode("utf-8", "replace"))
            self._err_line.clear()
        if self._stderr_done is not None and not self._stderr_done.done():
            self._stderr_done.set_result(None)

    def _pause_writing(self) -> None:
        if self._write_paused is None:
            self._write_paused = asyncio.get_running_loop().create_future()

    def _resume_writing(self) -> None:
        paused, self._write_paused = self._write_paused, None
        if paused is not None and not paused.done():
            paused.set_result(None)


class _ChildProtocol(asyncio.SubprocessProtocol):
    def __init__(self, owner: StdioTransport) -> None:
        self._owner = owner
        self._transport: asyncio.SubprocessTransport | None = None

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self._transport = cast(asyncio.SubprocessTransport, transport)

    def pipe_data_received(self, fd: int, data: bytes | str) -> None:
        assert isinstance(data, bytes)
        if fd == 1:
            self._owner._stdout_data(data)
        elif fd == 2:
            self._owner._stderr_data(data)

    def pipe_connection_lost(self, fd: int, exc: Exception | None) -> None:
        if fd == 1:
            self._owner._stdout_closed()
        elif fd == 2:
            self._owner._stderr_closed()

    def process_exited(self) -> None:
        assert self._transport is not None
        returncode = self._transport.get_returncode()
        self._owner._process_exited(-1 if returncode is None else returncode)

    def pause_writing(self) -> None:
        self._owner._pause_writing()

    def resume_writing(self) -> None:
        self._owner._resume_writing()
