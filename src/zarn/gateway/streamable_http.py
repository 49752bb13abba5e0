"""The streamable HTTP transport: JSON-RPC messages POSTed to the server's URL.

Each request's answer comes back in the POST's response, either as one JSON
body or as an event stream that may carry the server's own requests and
notifications before the answer. The session id that the server hands out
with its answer to `initialize` is sent back with every later message, and
the session is ended (DELETE) on close. Once the session is set up, a GET
event stream carries what the server sends outside any request, when the
server offers one.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import os
import re
from collections.abc import AsyncIterator, Mapping
from typing import Any, Final

import httpx

from zarn.gateway.config import HttpServerConfig
from zarn.gateway.transport import (
    MAX_MESSAGE_SIZE,
    Receiver,
    SessionExpired,
    Transport,
    TransportError,
    decode_message,
    encode_message,
    size_text,
)

__all__ = ["StreamableHttpTransport"]

_SESSION_HEADER: Final = "mcp-session-id"
_VERSION_HEADER: Final = "mcp-protocol-version"
_CLOSE_TIMEOUT: Final = 2.0
_LINE_BREAK: Final = re.compile("\r\n|\r|\n")


class StreamableHttpTransport(Transport):
    def __init__(
        self,
        name: str,
        config: HttpServerConfig,
        *,
        max_message_size: int = MAX_MESSAGE_SIZE,
        connect_timeout: float = 30.0,
    ) -> None:
        self._name = name
        self._config = config
        self._limit = max_message_size
        self._connect_timeout = connect_timeout
        self._log = logging.getLogger(f"zarn.servers.{name}")
        self._receiver: Receiver | None = None
        self._client: httpx.AsyncClient | None = None
        self._session_id: str | None = None
        self._version: str | None = None
        self._listener: asyncio.Task[None] | None = None
        self._lost: str | None = None

    async def open(self, receiver: Receiver) -> None:
        self._receiver = receiver
        # Calls are bounded by the gateway's own timeouts; only connecting has one here.
        self._client = httpx.AsyncClient(
            timeout=httpx.Timeout(None, connect=self._connect_timeout),
            limits=httpx.Limits(max_connections=100, max_keepalive_connections=20),
        )

    def negotiated(self, protocol_version: str) -> None:
        self._version = protocol_version
        if self._listener is None:
            self._listener = asyncio.ensure_future(self._listen())

    async def send(self, message: Mapping[str, Any]) -> None:
        if self._lost is not None or self._client is None:
            raise TransportError(self._lost or "is not connected")
        request_id = message.get("id") if "method" in message else None
        try:
            async with self._client.stream(
                "POST", self._config.url, content=encode_message(message), headers=self._headers("post")
            ) as response:
                await self._check(response)
                if message.get("method") == "initialize":
                    self._session_id = response.headers.get(_SESSION_HEADER)
                if request_id is None:
                    return  # a notification or an answer: 202 Accepted, nothing to read
                if not await self._read_answer(response, request_id):
                    raise TransportError(f"ended its answer to {message.get('method')} without answering")
        except httpx.HTTPError as error:
            raise TransportError(f"could not be reached at {self._config.url}: {_describe(error)}") from None

    async def close(self) -> None:
        if self._client is None:
            return
        client, self._client = self._client, None
        self._lose("was shut down")
        if self._listener is not None:
            self._listener.cancel()
            await asyncio.gather(self._listener, return_exceptions=True)
        if self._session_id is not None:
            with contextlib.suppress(httpx.HTTPError, TimeoutError):
                async with asyncio.timeout(_CLOSE_TIMEOUT):
                    await client.delete(self._config.url, headers=self._headers("delete"))
        await client.aclose()

    # -- requests and answers -----------------------------------------------------

    def _headers(self, verb: str) -> dict[str, str]:
        headers = dict(self._config.headers)
        if verb == "post":
            headers["content-type"] = "application/json"
            headers["accept"] = "application/json, text/event-stream"
        elif verb == "get":
            headers["accept"] = "text/event-stream"
        if self._session_id is not None:
            headers[_SESSION_HEADER] = self._session_id
        if self._version is not None:
            headers[_VERSION_HEADER] = self._version
        return headers

    async def _check(self, response: httpx.Response) -> None:
        status = response.status_code
        if status < 400:
            return
        body = b""
        async for chunk in response.aiter_bytes():
            body += chunk
            if len(body) > 300:
                break
        text = body[:300].decode("utf-8", "replace").strip()
        # The protocol says 404 for a session the server no longer knows; many
        # servers built on the reference SDK's examples answer 400 "No valid
        # session ID provided" instead (after a restart, say).
        if self._session_id is not None and (status == 404 or (status == 400 and "session" in text.lower())):
            self._lose("ended its session")
            raise SessionExpired("ended its session")
        raise TransportError(f"answered HTTP {status} {response.reason_phrase}" + (f": {text}" if text else ""))

    async def _read_answer(self, response: httpx.Response, request_id: Any) -> bool:
        """Deliver what the response carries; True once the answer to `request_id` came."""
        kind = response.headers.get("content-type", "").split(";")[0].strip().lower()
        if kind == "application/json":
            body = bytearray()
            async for chunk in response.aiter_bytes():
                body += chunk
                if len(body) > self._limit:
                    raise TransportError(f"sent a message larger than the {size_text(self._limit)} limit")
            return self._deliver(bytes(body), request_id)
        if kind == "text/event-stream":
            async for data in self._events(response):
                if self._deliver(data, request_id):
                    return True
            return False
        raise TransportError(f"answered with content type {kind!r}, neither JSON nor an event stream")

    def _deliver(self, data: bytes | str, request_id: Any) -> bool:
        if not data.strip():
            return False  # an event that only primes a reconnection carries no message
        try:
            message = decode_message(data)
        except ValueError:
            self._log.warning("ignored a message that is not JSON: %.200r", data)
            return False
        answered = any(
            isinstance(one, dict) and one.get("id") == request_id and ("result" in one or "error" in one)
            for one in (message if isinstance(message, list) else (message,))
        )
        if self._receiver is not None:
            try:
                self._receiver.message_received(message)
            except Exception:
                self._log.exception("failed to handle a message: %.200r", data)
        return answered

    async def _events(self, response: httpx.Response) -> AsyncIterator[str]:
        """The data of each message event of an event stream, bounded by the message size limit."""
        too_large = f"sent a message larger than the {size_text(self._limit)} limit"
        partial: list[str] = []  # the pieces of a line not yet ended
        partial_size = 0
        after_cr = False  # the last chunk ended in "\r", which a "\n" may complete
        data: list[str] = []
        size = 0
        event = "message"
        async for chunk in response.aiter_text():
            if after_cr and chunk.startswith("\n"):
                chunk = chunk[1:]
            after_cr = chunk.endswith("\r")
            start = 0
            while (found := _LINE_BREAK.search(chunk, start)) is not None:
                line = chunk[start : found.start()]
                if partial:
                    line = "".join(partial) + line
                    partial, partial_size = [], 0
                start = found.end()
                if not line:
                    if data and event == "message":
                        yield "\n".join(data)
                    data, size, event = [], 0, "message"
                    continue
                name, _, value = line.partition(":")
                value = value.removeprefix(" ")
                if name == "data":
                    size += len(value) + 1
                    if size > self._limit:
                        raise TransportError(too_large)
                    data.append(value)
                elif name == "event":
                    event = value or "message"
            if start < len(chunk):
                partial.append(chunk[start:])
                partial_size += len(chunk) - start
                if partial_size > self._limit + 16:
                    raise TransportError(too_large)
        if partial:
            line = "".join(partial)
            if line.startswith("data:"):
                data.append(line[5:].removeprefix(" "))
        if data and event == "message":
            yield "\n".join(data)

    # -- the server's own stream ------------------------------------------------------

    async def _listen(self) -> None:
        client = self._client
        if client is None:
            return
        try:
            async with client.stream("GET", self._config.url, headers=self._headers("get")) as response:
                if response.status_code != 200:
                    self._log.debug("no stream for the server's own messages (HTTP %s)", response.status_code)
                    return
                async for data in self._events(response):
                    self._deliver(data, None)
        except (httpx.HTTPError, TransportError) as error:
            self._log.debug("the stream for the server's own messages ended: %s", error)

    def _lose(self, cause: str) -> None:
        if self._lost is None:
            self._lost = cause
            if self._receiver is not None:
                self._receiver.connection_lost(cause)


def _describe(error: httpx.HTTPError) -> str:
    text = str(error) or type(error).__name__
    # The operating system's own words ("Connection refused") are at the end of the chain.
    cause: BaseException | None = error
    root = None
    while cause is not None:
        if isinstance(cause, OSError) and cause.errno is not None:
            root = cause
        cause = cause.__cause__ or cause.__context__
    if root is not None and root.errno is not None:
        text += f" ({os.strerror(root.errno)})"
    return text
