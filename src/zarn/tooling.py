"""What GraphQL tooling gets from the HTTP app: introspection from the generated schema, and the explorer page.

`EngineSchemas` builds the `GeneratedSchema` of the engine that a target
serves the first time an introspection operation asks for it, and keeps it for
as long as the target serves that engine: from a gateway's tool specs (which
carry the tools' input schemas), else from the engine's own catalogue and the
input schemas the app was given. `ExplorerPage` is the page a browser gets.
"""

from __future__ import annotations

import logging
import threading
from collections.abc import Mapping
from typing import Any, Final

from graphql.language import ast

from zarn import explorer
from zarn._graphql import SchemaEngine
from zarn.gateway import Gateway
from zarn.introspection import answer_introspection
from zarn.schema import GeneratedSchema, engine_tools
from zarn.toolspec import ToolSpec

__all__ = ["EngineSchemas", "ExplorerPage", "accepts_gzip"]

logger = logging.getLogger(__name__)

InputSchemas = Mapping[tuple[str, str], Mapping[str, Any]]


class EngineSchemas:
    """The generated schema of the engine behind `target`, built once, on first use, from any thread."""

    def __init__(self, target: object, input_schemas: InputSchemas | None = None) -> None:
        self._target: Final = target
        self._specs: tuple[ToolSpec, ...] | None = None
        if input_schemas is not None:
            if isinstance(target, Gateway):
                raise ValueError("input_schemas cannot be given for a Gateway: its tools bring their own")
            engine = target if isinstance(target, SchemaEngine) else target.engine  # type: ignore[attr-defined]
            self._specs = engine_tools(engine, input_schemas)  # a pair the catalogue lacks is an error now
        self._lock = threading.Lock()
        self._engine: SchemaEngine | None = None
        self._schema: GeneratedSchema | None = None

    def schema(self, engine: SchemaEngine) -> GeneratedSchema:
        """The schema of `engine`, the one the target serves now."""
        schema = self._schema
        if schema is not None and self._engine is engine:
            return schema
        with self._lock:  # requests that come together wait for one build
            if self._schema is None or self._engine is not engine:
                if isinstance(self._target, Gateway):
                    tools: tuple[ToolSpec, ...] | None = tuple(self._target.tools)
                else:
                    tools = self._specs
                self._schema = GeneratedSchema.for_engine(engine, tools)
                self._engine = engine
                logger.info("generated the GraphQL schema: %d tool fields", len(self._schema.tool_fields))
            return self._schema

    def answer(
        self, engine: SchemaEngine, document: ast.DocumentNode, operation_name: str | None, variables: Mapping[str, Any]
    ) -> str:
        """The response text of an introspection operation (graphql-core takes long over a large
        schema the first time: call it on a thread)."""
        return answer_introspection(self.schema(engine), document, operation_name, variables)


def accepts_gzip(accept_encoding: bytes | None) -> bool:
    """Whether an Accept-Encoding header allows gzip (named, or through "*", with a quality above 0)."""
    if not accept_encoding:
        return False
    allowed: dict[str, bool] = {}
    for item in accept_encoding.decode("latin-1").lower().split(","):
        coding, *parameters = item.split(";")
        quality = 1.0
        for parameter in parameters:
            name, _, value = parameter.strip().partition("=")
            if name == "q":
                try:
                    quality = float(value)
                except ValueError:
                    quality = 0.0
        allowed[coding.strip()] = quality > 0.0
    return allowed.get("gzip", allowed.get("x-gzip", allowed.get("*", False)))


class ExplorerPage:
    """The HTML page served to a GET that prefers ``text/html``: the bundled explorer, or a page of
    the caller's own. `headers` excludes Content-Type and Content-Length, which the app writes."""

    def __init__(self, page: str | bytes | None) -> None:
        self._own: Final = page.encode("utf-8") if isinstance(page, str) else page
        # The bundled page and its headers, by whether it is gzipped, once built.
        self._built: dict[bool, tuple[bytes, tuple[tuple[bytes, bytes], ...]]] = {}

    def cached(self, accept_encoding: bytes | None) -> tuple[bytes, list[tuple[bytes, bytes]]] | None:
        """The response if it is ready, else None (`response` builds it: on a thread, it takes a while)."""
        if self._own is not None:
            return self._own, [(b"vary", b"accept")]
        built = self._built.get(accepts_gzip(accept_encoding))
        return None if built is None else (built[0], list(built[1]))

    def response(self, accept_encoding: bytes | None) -> tuple[bytes, list[tuple[bytes, bytes]]]:
        if (ready := self.cached(accept_encoding)) is not None:
            return ready
        gzipped = accepts_gzip(accept_encoding)
        body = explorer.page_gzip() if gzipped else explorer.page()
        headers = tuple(h for h in explorer.page_headers(gzipped=gzipped) if h[0] not in _WRITTEN_BY_THE_APP)
        self._built[gzipped] = body, headers
        return body, list(headers)


_WRITTEN_BY_THE_APP: Final = frozenset({b"content-type", b"content-length"})
