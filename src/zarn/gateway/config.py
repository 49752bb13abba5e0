"""Reading the tool-server configuration.

The format is the one the protocol's desktop clients already use, so a user's
existing file works unchanged::

    {"mcpServers": {
        "files": {"command": "npx", "args": ["-y", "server-filesystem", "/srv"], "env": {}, "cwd": "/srv"},
        "search": {"url": "http://127.0.0.1:8080/mcp", "headers": {"Authorization": "Bearer ..."}}}}

A top-level "servers" object with the same entries is accepted too. Each entry
may carry "timeout", the seconds a call to that server may take (60 by
default); entries with "disabled": true are left out.
"""

from __future__ import annotations

import json
import math
import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Final

__all__ = [
    "DEFAULT_CALL_TIMEOUT",
    "ConfigError",
    "HttpServerConfig",
    "ServerConfig",
    "StdioServerConfig",
    "read_config",
]

DEFAULT_CALL_TIMEOUT: Final = 60.0

# The engine trims names with the Unicode White_Space property, which is not
# quite what str.strip() removes (it also takes U+001C..U+001F).
WHITE_SPACE: Final = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006"
    "\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
)

_STDIO_TYPES: Final = frozenset({"stdio"})
_HTTP_TYPES: Final = frozenset({"http", "streamable-http", "streamableHttp", "streamable_http"})


class ConfigError(ValueError):
    """A configuration that cannot be used; `server` names the entry at fault, when there is one."""

    def __init__(self, message: str, server: str | None = None) -> None:
        super().__init__(message if server is None else f"tool server {server!r}: {message}")
        self.server = server


@dataclass(frozen=True, slots=True)
class StdioServerConfig:
    """A server run as a child process that speaks one JSON message per line on stdin and stdout."""

    command: str
    args: tuple[str, ...] = ()
    env: Mapping[str, str] = field(default_factory=dict)
    cwd: str | None = None
    timeout: float = DEFAULT_CALL_TIMEOUT


@dataclass(frozen=True, slots=True)
class HttpServerConfig:
    """A server reached over streamable HTTP at `url`."""

    url: str
    headers: Mapping[str, str] = field(default_factory=dict)
    timeout: float = DEFAULT_CALL_TIMEOUT


ServerConfig = StdioServerConfig | HttpServerConfig


def read_config(source: str | os.PathLike[str] | Mapping[str, Any]) -> dict[str, ServerConfig]:
    """The configured servers by name, in file order, from a path or an already parsed mapping.

    Raises `ConfigError` naming the file or the server entry at fault.
    """
    if isinstance(source, Mapping):
        document: Any = source
    else:
        path = Path(source)
        try:
            text = path.read_text("utf-8")
        except (OSError, UnicodeDecodeError) as error:
            raise ConfigError(f"cannot read server configuration {str(path)!r}: {error}") from None
        try:
            document = json.loads(text)
        except json.JSONDecodeError as error:
            raise ConfigError(f"server configuration {str(path)!r} is not JSON: {error}") from None
    if not isinstance(document, Mapping):
        raise ConfigError('server configuration must be a JSON object with a "mcpServers" or "servers" object')
    entries = document.get("mcpServers", document.get("servers"))
    if not isinstance(entries, Mapping):
        raise ConfigError('server configuration has no "mcpServers" or "servers" object')
    servers: dict[str, ServerConfig] = {}
    for name, entry in entries.items():
        if not isinstance(name, str) or not name.strip(WHITE_SPACE):
            raise ConfigError(f"server name {name!r} is blank")
        if name != name.strip(WHITE_SPACE):
            raise ConfigError("a server name must not begin or end with white space", name)
        if not isinstance(entry, Mapping):
            raise ConfigError("its entry must be a JSON object", name)
        if entry.get("disabled") is True:
            continue
        servers[name] = server_config(name, entry)
    return servers


def server_config(name: str, entry: Mapping[str, Any]) -> ServerConfig:
    """One server entry, checked."""
    kind = entry.get("type", entry.get("transport"))
    if kind is not None and kind not in _STDIO_TYPES and kind not in _HTTP_TYPES:
        raise ConfigError(f'transport {kind!r} is not supported (use "stdio" or "http")', name)
    timeout = _timeout(name, entry.get("timeout", DEFAULT_CALL_TIMEOUT))
    command, url = entry.get("command"), entry.get("url")
    if command is not None and url is not None:
        raise ConfigError('give either "command" or "url", not both', name)
    if command is not None:
        if kind in _HTTP_TYPES:
            raise ConfigError(f'transport {kind!r} needs "url", not "command"', name)
        if not isinstance(command, str) or not command.strip():
            raise ConfigError('"command" must be a non-empty string', name)
        cwd = entry.get("cwd")
        if cwd is not None and not isinstance(cwd, str):
            raise ConfigError('"cwd" must be a string', name)
        return StdioServerConfig(
            command=command,
            args=tuple(_strings(name, "args", entry.get("args", []))),
            env=_string_map(name, "env", entry.get("env", {})),
            cwd=cwd,
            timeout=timeout,
        )
    if url is not None:
        if kind in _STDIO_TYPES:
            raise ConfigError(f'transport {kind!r} needs "command", not "url"', name)
        if not isinstance(url, str) or not url.startswith(("http://", "https://")):
            raise ConfigError(f'"url" must be an http:// or https:// URL, not {url!r}', name)
        return HttpServerConfig(
            url=url, headers=_string_map(name, "headers", entry.get("headers", {})), timeout=timeout
        )
    raise ConfigError('the entry has neither "command" nor "url"', name)


def _timeout(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, int | float) or not math.isfinite(value) or value <= 0:
        raise ConfigError(f'"timeout" must be a positive number of seconds, not {value!r}', name)
    return float(value)


def _strings(name: str, key: str, value: Any) -> list[str]:
    if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
        raise ConfigError(f'"{key}" must be a list of strings', name)
    return value


def _string_map(name: str, key: str, value: Any) -> dict[str, str]:
    if not isinstance(value, Mapping) or not all(isinstance(k, str) and isinstance(v, str) for k, v in value.items()):
        raise ConfigError(f'"{key}" must be an object of strings', name)
    return dict(value)
