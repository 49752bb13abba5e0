"""Reading GraphQL-over-HTTP requests: media types, strict JSON and the request's parameters.

Everything here is free of the ASGI flow, so that `zarn.asgi` only decides and
answers: `negotiate` picks the response's media type from ``Accept``,
`post_parameters` and `get_parameters` turn a body or a query string into a
`GraphQLRequest`, and every refusal is an `HttpError` carrying its status.
"""

from __future__ import annotations

import asyncio
import functools
import json
from collections.abc import Callable, Iterable, Mapping
from json.scanner import make_scanner
from typing import Any, Final, NamedTuple, cast
from urllib.parse import parse_qsl

__all__ = [
    "GRAPHQL_RESPONSE_JSON",
    "HTML",
    "JSON",
    "Deadlines",
    "GraphQLRequest",
    "HttpError",
    "get_parameters",
    "is_json_content_type",
    "negotiate",
    "post_parameters",
]

JSON: Final = "application/json"
GRAPHQL_RESPONSE_JSON: Final = "application/graphql-response+json"
HTML: Final = "text/html"
_PARAMETERS: Final = ("query", "variables", "operationName", "extensions")


class HttpError(Exception):
    """A request refused with `status` (and `headers`) before anything runs."""

    def __init__(self, status: int, message: str, headers: Iterable[tuple[bytes, bytes]] = ()) -> None:
        super().__init__(message)
        self.status = status
        self.message = message
        self.headers = list(headers)


class GraphQLRequest(NamedTuple):
    """The parameters of one request; `raw_variables` is the variables' JSON text when the request had it as text."""

    query: str
    variables: Mapping[str, Any]
    raw_variables: str | None
    operation_name: str | None


def too_large(limit: int) -> HttpError:
    # The rest of the body is not read: the connection cannot carry another request.
    return HttpError(413, f"the request body is larger than {limit} bytes", [(b"connection", b"close")])


# -- strict JSON --------------------------------------------------------------


class _RepeatedKey(ValueError):
    pass


def _unique_members(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    members = dict(pairs)
    if len(members) != len(pairs):
        seen: set[str] = set()
        for key, _ in pairs:
            if key in seen:
                raise _RepeatedKey(f'the key "{key}" appears twice in one object')
            seen.add(key)
    return members


def _not_json(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


# A repeated key would leave it to chance which value counts, and NaN and the
# infinities are not JSON. Integers keep every digit (up to Python's 4,300).
_decoder: Final = json.JSONDecoder(object_pairs_hook=_unique_members, parse_constant=_not_json)
# The C scanner itself, without decode()'s two regular expressions.
_scan: Final[Callable[[str, int], tuple[Any, int]]] = make_scanner(cast(Any, _decoder))
_BLANKS: Final = " \t\n\r"  # JSON's own whitespace, no other


def decode_json(text: str, what: str) -> Any:
    """The JSON value of `text`; HttpError 400 naming `what` when it is not strict JSON."""
    try:
        start = len(text) - len(text.lstrip(_BLANKS)) if text and text[0] in _BLANKS else 0
        try:
            value, end = _scan(text, start)
        except StopIteration:
            raise json.JSONDecodeError("Expecting value", text, start) from None
        if end != len(text):
            tail = text[end:]
            rest = tail.lstrip(_BLANKS)
            if rest:
                raise json.JSONDecodeError("Extra data", text, end + len(tail) - len(rest))
        return value
    except RecursionError:
        raise HttpError(400, f"{what} nests too deeply") from None
    except ValueError as error:  # JSONDecodeError, a repeated key, a constant, an integer too long
        raise HttpError(400, f"{what} is not valid JSON: {error}") from None


# -- media types --------------------------------------------------------------


# Clients send few distinct headers: each is worked out once.
@functools.lru_cache(maxsize=256)
def negotiate(accept: bytes | None, html: bool) -> str | None:
    """The response media type for an Accept header; None when it allows none of ours.

    The most specific range that matches a type gives its quality. Of equal
    quality and precision, application/graphql-response+json wins when named
    exactly and application/json wins through wildcards, so older clients and
    curl's "*/*" get application/json. Without a header: application/json.
    `html` adds text/html as a candidate, chosen only when preferred outright.
    """
    if not accept or not accept.strip():
        return JSON
    ranges: list[tuple[str, str, float]] = []
    for item in accept.decode("latin-1").lower().split(","):
        media, *parameters = item.split(";")
        kind, _, subtype = media.strip().partition("/")
        quality = 1.0
        for parameter in parameters:
            name, _, value = parameter.strip().partition("=")
            value = value.strip().strip('"')
            if name == "q":
                try:
                    quality = min(max(float(value), 0.0), 1.0)
                except ValueError:
                    quality = 0.0
            elif name == "charset" and value not in ("utf-8", "utf8"):
                quality = 0.0
        ranges.append((kind, subtype, quality))

    best: tuple[float, int, int, str] | None = None
    for media in (GRAPHQL_RESPONSE_JSON, JSON, HTML) if html else (GRAPHQL_RESPONSE_JSON, JSON):
        kind, _, subtype = media.partition("/")
        match: tuple[int, float] | None = None
        for range_kind, range_subtype, quality in ranges:
            if range_kind == kind and range_subtype == subtype:
                precision = 2
            elif range_kind == kind and range_subtype == "*":
                precision = 1
            elif range_kind == "*" and range_subtype == "*":
                precision = 0
            else:
                continue
            if match is None or precision > match[0]:
                match = (precision, quality)
        if match is None or match[1] <= 0.0:
            continue
        precision, quality = match
        preference = {GRAPHQL_RESPONSE_JSON: 2 if precision == 2 else 0, JSON: 1, HTML: -1}[media]
        ranked = (quality, precision, preference, media)
        if best is None or ranked > best:
            best = ranked
    return best[3] if best is not None else None


@functools.lru_cache(maxsize=256)
def is_json_content_type(value: bytes) -> bool:
    """Whether a Content-Type is application/json in UTF-8 (the default)."""
    media, *parameters = value.decode("latin-1").lower().split(";")
    if media.strip() != JSON:
        return False
    for parameter in parameters:
        name, _, charset = parameter.strip().partition("=")
        if name.strip() == "charset" and charset.strip().strip('"') not in ("utf-8", "utf8"):
            return False
    return True


# -- parameters ---------------------------------------------------------------


def post_parameters(body: bytes) -> GraphQLRequest:
    """The request in a POST body: a JSON object with "query" and optional "variables", "operationName", "extensions"."""
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError as error:
        raise HttpError(400, f"the request body is not UTF-8 text: {error}") from None
    request = decode_json(text, "the request body")
    if type(request) is not dict:
        raise HttpError(400, "the request body must be a JSON object (batches of requests are not supported)")
    query = request.get("query")
    if type(query) is not str:
        raise HttpError(400, 'the request has no "query"' if query is None else '"query" must be a string')
    variables = request.get("variables")
    if variables is None:
        variables = {}
    elif type(variables) is not dict:
        raise HttpError(400, '"variables" must be a JSON object or null')
    operation_name = request.get("operationName")
    if operation_name is not None and type(operation_name) is not str:
        raise HttpError(400, '"operationName" must be a string or null')
    extensions = request.get("extensions")
    if extensions is not None and type(extensions) is not dict:
        raise HttpError(400, '"extensions" must be a JSON object or null')
    return GraphQLRequest(query, variables, None, operation_name or None)


def get_parameters(query_string: bytes, limit: int) -> GraphQLRequest:
    """The request in a GET query string: "query", and "variables" and "extensions" as JSON text."""
    if len(query_string) > limit:
        raise HttpError(413, f"the query string is longer than {limit} bytes")
    try:
        pairs = parse_qsl(query_string.decode("utf-8"), keep_blank_values=True, errors="strict", max_num_fields=64)
    except UnicodeDecodeError as error:
        raise HttpError(400, f"the query string is not UTF-8 text: {error}") from None
    except ValueError as error:
        raise HttpError(400, f"the query string cannot be read: {error}") from None
    parameters: dict[str, str] = {}
    for name, value in pairs:
        if name in _PARAMETERS:
            if name in parameters:
                raise HttpError(400, f'the parameter "{name}" is given more than once')
            parameters[name] = value
    query = parameters.get("query")
    if query is None:
        raise HttpError(400, 'the request has no "query" parameter')
    raw_variables = parameters.get("variables")
    variables: Mapping[str, Any] = {}
    if raw_variables is not None:
        decoded = decode_json(raw_variables, '"variables"')
        if decoded is None:
            raw_variables = None
        elif type(decoded) is dict:
            variables = decoded
        else:
            raise HttpError(400, '"variables" must be a JSON object or null')
    raw_extensions = parameters.get("extensions")
    if raw_extensions is not None:
        extensions = decode_json(raw_extensions, '"extensions"')
        if extensions is not None and type(extensions) is not dict:
            raise HttpError(400, '"extensions" must be a JSON object or null')
    return GraphQLRequest(query, variables, raw_variables, parameters.get("operationName") or None)


# -- deadlines ----------------------------------------------------------------


class Deadlines:
    """Tasks that must finish a step by a deadline, cancelled by a sweep once a second when late.

    A registry and one timer per event loop: a timer per request would cost more
    than the rest of reading a small request.
    """

    def __init__(self) -> None:
        self._tasks: dict[asyncio.Task[Any], float] = {}
        self._late: set[asyncio.Task[Any]] = set()
        self._sweeps: dict[asyncio.AbstractEventLoop, asyncio.TimerHandle] = {}

    def arm(self, task: asyncio.Task[Any], seconds: float) -> None:
        loop = task.get_loop()
        self._tasks[task] = loop.time() + seconds
        if loop not in self._sweeps:
            self._sweeps[loop] = loop.call_later(1.0, self._sweep, loop)

    def disarm(self, task: asyncio.Task[Any]) -> None:
        self._tasks.pop(task, None)

    def expired(self, task: asyncio.Task[Any]) -> bool:
        """Whether the sweep cancelled `task`; if so, that cancellation is taken back."""
        if task not in self._late:
            return False
        self._late.discard(task)
        task.uncancel()
        return True

    def _sweep(self, loop: asyncio.AbstractEventLoop) -> None:
        now = loop.time()
        waiting = False
        for task, deadline in list(self._tasks.items()):
            if task.get_loop() is not loop:
                continue
            if deadline <= now:
                del self._tasks[task]
                self._late.add(task)
                task.cancel()
            else:
                waiting = True
        if waiting:
            self._sweeps[loop] = loop.call_later(1.0, self._sweep, loop)
        else:
            del self._sweeps[loop]
