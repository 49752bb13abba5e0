"""What the package knows of one tool beyond the engine's catalogue record.

The engine keeps a tool's server, name, description and read-only flag; the
host package keeps the rest that tools declare (their input and output JSON
schemas), for the generated GraphQL schema and for documentation.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final

if TYPE_CHECKING:
    from zarn._graphql import SchemaEngine

__all__ = ["BUILT_IN_FIELDS", "ToolSpec", "search_entries"]

# Fields the engine answers before it looks at the catalogue; a tool of the same name is shadowed.
BUILT_IN_FIELDS: Final = frozenset({"__typename", "servers", "search"})


def search_entries(engine: SchemaEngine) -> list[dict[str, Any]]:
    """The engine's `search` entries: each tool's server, tool, field, description and read-only flag."""
    entries: list[dict[str, Any]] = json.loads(engine.execute("{ search }"))["data"]["search"]
    return entries


@dataclass(frozen=True, slots=True)
class ToolSpec:
    """One tool as the package describes it, in catalogue order.

    `server` is the server's configured name and `name` the tool's own name;
    `field` is the GraphQL field that the engine gives the tool.
    """

    server: str
    name: str
    field: str
    description: str
    read_only: bool
    input_schema: Mapping[str, Any] | None = None
    output_schema: Mapping[str, Any] | None = None
