"""Who may call a `GraphQLApp`: its bearer token, the hosts it answers for, and CORS.

The tools behind the endpoint can write files and more, so each of these
refuses by default what it cannot vouch for:

- the token, when set, is compared in constant time;
- `allowed_hosts` names the only values the ``Host`` header may carry. A page
  on another site can make a browser send requests to a loopback server by
  resolving its own name to 127.0.0.1 (DNS rebinding); it cannot make the
  browser send a loopback name as ``Host``. `python -m zarn serve` sets the
  loopback names when it serves loopback without a token;
- CORS is off unless origins are named, and a preflight from any other origin
  is refused.
"""

from __future__ import annotations

import hmac
from collections.abc import Iterable, Mapping
from typing import Any, Final

from zarn.httpio import HttpError

__all__ = ["LOOPBACK_HOSTS", "Access"]

LOOPBACK_HOSTS: Final = ("localhost", "127.0.0.1", "::1")


class Access:
    """The checks of one app; their methods raise `HttpError` for a request that may not pass."""

    def __init__(
        self, token: str | None, cors_origins: Iterable[str], allowed_hosts: Iterable[str] | None = None
    ) -> None:
        if token is not None and (not token or token != token.strip() or not token.isascii()):
            raise ValueError("GraphQLApp token must be non-empty ASCII text without surrounding blanks")
        self.token: Final = token.encode("ascii") if token is not None else None
        origins = frozenset(cors_origins)
        self._any_origin: Final = "*" in origins
        self._origins: Final = frozenset(origin.encode("latin-1") for origin in origins if origin != "*")
        self.cors: Final = bool(origins)
        self._hosts: Final = None if allowed_hosts is None else _host_names(allowed_hosts)

    def check_host(self, host: bytes | None) -> None:
        if self._hosts is not None and (host is None or _host_name(host) not in self._hosts):
            shown = "no Host header" if host is None else f"host {host.decode('latin-1')!r}"
            raise HttpError(400, f"{shown} is not served here")

    def check_token(self, authorization: bytes | None) -> None:
        scheme, _, credentials = (authorization or b"").partition(b" ")
        # compare_digest takes as long for any wrong token of a given length.
        if scheme.lower() != b"bearer" or not hmac.compare_digest(credentials.strip(), self.token or b""):
            raise HttpError(
                401, "a bearer token is required (Authorization: Bearer <token>)", [(b"www-authenticate", b"Bearer")]
            )

    def origin_allowed(self, origin: bytes) -> bool:
        return self._any_origin or origin in self._origins

    def preflight(self, headers: Iterable[tuple[bytes, bytes]], origin: bytes) -> list[tuple[bytes, bytes]]:
        """The headers of the answer to a CORS preflight (204)."""
        if not self.origin_allowed(origin):
            raise HttpError(403, f"origin {origin.decode('latin-1')} may not call this endpoint")
        requested: Mapping[bytes, Any] = {
            name: value
            for name, value in headers
            if name in (b"access-control-request-method", b"access-control-request-headers")
        }
        if requested.get(b"access-control-request-method") not in (b"GET", b"POST"):
            raise HttpError(405, "only GET and POST are allowed", [(b"allow", b"GET, POST")])
        # Clients add headers of their own (operation names, tracing); they grant nothing.
        allowed = requested.get(b"access-control-request-headers") or b"authorization, content-type"
        return [
            (b"access-control-allow-methods", b"GET, POST"),
            (b"access-control-allow-headers", allowed),
            (b"access-control-max-age", b"600"),
        ]


def _host_names(hosts: Iterable[str]) -> frozenset[bytes]:
    given = list(hosts)
    if not given or not all(host and host.isascii() for host in given):
        raise ValueError(
            "GraphQLApp allowed_hosts must name at least one host, in ASCII (international names in their"
            " xn-- form), or be None for any"
        )
    return frozenset(_host_name(host.encode("ascii")) for host in given)


def _host_name(host: bytes) -> bytes:
    """The name in a Host value, without its port or an IPv6 address's brackets, in lower case."""
    host = host.strip().lower()
    if host.startswith(b"["):
        return host[1 : host.find(b"]")] if b"]" in host else host
    name, colon, port = host.rpartition(b":")
    return name if colon and port.isdigit() and b":" not in name else host
