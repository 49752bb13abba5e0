"""The narrow interface between the protocol client and a connection to one server.

A transport moves whole JSON-RPC messages: `send` writes one, and the receiver
it was opened with gets each message that arrives (`message_received`) and, at
most once, the end of the connection (`connection_lost`, with the cause as a
phrase that completes "tool server NAME ...", such as "exited with status 1").
Everything about ids, answers and timeouts lives above, in the client.
"""

from __future__ import annotations

import abc
import json
from collections.abc import Mapping
from typing import Any, Final, Protocol

from zarn.host import compact_json

__all__ = [
    "MAX_MESSAGE_SIZE",
    "Receiver",
    "SessionExpired",
    "Transport",
    "TransportError",
    "decode_message",
    "encode_message",
    "size_text",
]

# One message from a server may be at most this large (64 MiB). Past it the
# connection is dropped rather than buffered: a server cannot grow the host's
# memory without bound, and a 50 MB result still fits.
MAX_MESSAGE_SIZE: Final = 64 * 1024 * 1024


class TransportError(Exception):
    """The connection failed; the message completes "tool server NAME ..."."""


class SessionExpired(TransportError):
    """The server no longer knows the session (HTTP 404); a new one must be initialised."""


class Receiver(Protocol):
    def message_received(self, message: Any) -> None: ...

    def connection_lost(self, cause: str) -> None: ...


class Transport(abc.ABC):
    """One connection to one server, carrying JSON-RPC messages both ways."""

    @abc.abstractmethod
    async def open(self, receiver: Receiver) -> None:
        """Connect (start the process, or prepare the HTTP client); raises `TransportError`."""

    @abc.abstractmethod
    async def send(self, message: Mapping[str, Any]) -> None:
        """Send one message; raises `TransportError` when it cannot be delivered."""

    @abc.abstractmethod
    async def close(self) -> None:
        """End the connection and release everything it holds; safe to call more than once."""

    def negotiated(self, protocol_version: str) -> None:  # noqa: B027 - optional hook
        """Told the protocol version once `initialize` has settled it."""

    @property
    def pid(self) -> int | None:
        """The server's process id, for transports that run one."""
        return None

    async def stderr_tail(self) -> list[str]:
        """The last lines the server wrote to its standard error, for error messages."""
        return []


_ENCODE_ASCII: Final = json.JSONEncoder(ensure_ascii=True, allow_nan=False, separators=(",", ":")).encode


def encode_message(message: Mapping[str, Any]) -> bytes:
    try:
        return compact_json(message).encode("utf-8")
    except UnicodeEncodeError:
        # A lone surrogate (from a "\ud800" escape in the arguments) has no
        # UTF-8 form; as an escape it is still valid JSON text.
        return _ENCODE_ASCII(message).encode("ascii")


def decode_message(data: bytes | bytearray | str) -> Any:
    """One message's JSON value; raises ValueError for text that is not JSON (or nested past Python's limit)."""
    try:
        return json.loads(data)
    except RecursionError:
        raise ValueError("nested too deeply") from None


def size_text(size: int) -> str:
    """A byte count as the limit messages write it ("64 MiB")."""
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if size >= scale and size % scale == 0:
            return f"{size // scale} {unit}"
    return f"{size} bytes"
