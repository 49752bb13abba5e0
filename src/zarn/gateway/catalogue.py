"""Assembling the engine's catalogue from the servers' tool listings.

One server object per configured name, each tool with its name, its
description (its title when it has none) and an explicit read-only flag. The
protocol's default for `readOnlyHint` is false and the catalogue's is true, so
a tool that says nothing is written as not read-only. The GraphQL field names
are the engine's own: they are read back from the engine's "search" entries.
"""

from __future__ import annotations

import json
import logging
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from zarn._graphql import SchemaEngine
from zarn.gateway.config import WHITE_SPACE
from zarn.gateway.results import has_utf8_form
from zarn.toolspec import BUILT_IN_FIELDS, ToolSpec, search_entries

__all__ = ["BUILT_IN_FIELDS", "Collision", "ListedServer", "ListedTool", "assemble", "find_collisions", "tool_specs"]

logger = logging.getLogger(__name__)


@dataclass(frozen=True, slots=True)
class ListedTool:
    """A usable tool from a server's listing, as the catalogue gives it to the engine."""

    server: str
    name: str
    description: str
    read_only: bool
    input_schema: Mapping[str, Any] | None
    output_schema: Mapping[str, Any] | None


@dataclass(frozen=True, slots=True)
class ListedServer:
    name: str
    description: str | None
    tools: Sequence[Any]  # the listing's entries, as the server sent them


@dataclass(frozen=True, slots=True)
class Collision:
    """A field that two tools, or a tool and a built-in field, both give; the first answers."""

    field: str
    hidden: ToolSpec
    answering: ToolSpec | None  # None: the engine's built-in field of that name

    def __str__(self) -> str:
        hidden = f"tool {self.hidden.name} of server {self.hidden.server}"
        if self.answering is None:
            return f"field {self.field}: {hidden} is shadowed by the built-in field {self.field}"
        answering = f"tool {self.answering.name} of server {self.answering.server}"
        return f"field {self.field}: {hidden} collides with {answering}, which answers it"


def listed_tool(server: str, entry: Any) -> ListedTool | None:
    """One listing entry as a catalogue tool, or None (with a warning) when it cannot be one."""
    name = entry.get("name") if isinstance(entry, Mapping) else None
    if not isinstance(name, str) or not name.strip(WHITE_SPACE) or not has_utf8_form(name):
        logger.warning("tool server %s lists a tool without a usable name; it is left out: %.200r", server, entry)
        return None
    assert isinstance(entry, Mapping)
    annotations = entry.get("annotations")
    annotations = annotations if isinstance(annotations, Mapping) else {}
    description = ""
    for candidate in (entry.get("description"), entry.get("title"), annotations.get("title")):
        if isinstance(candidate, str) and candidate.strip(WHITE_SPACE):
            description = candidate.encode("utf-8", "replace").decode("utf-8")
            break
    input_schema, output_schema = entry.get("inputSchema"), entry.get("outputSchema")
    return ListedTool(
        server=server,
        name=name,
        description=description,
        read_only=annotations.get("readOnlyHint") is True,
        input_schema=input_schema if isinstance(input_schema, Mapping) else None,
        output_schema=output_schema if isinstance(output_schema, Mapping) else None,
    )


def assemble(servers: Sequence[ListedServer]) -> tuple[str, list[ListedTool]]:
    """The catalogue JSON text for the engine, and its tools in catalogue order."""
    catalogue: list[dict[str, Any]] = []
    tools: list[ListedTool] = []
    for server in servers:
        entries: list[dict[str, Any]] = []
        for entry in server.tools:
            tool = listed_tool(server.name, entry)
            if tool is None:
                continue
            tools.append(tool)
            entries.append({"name": tool.name, "description": tool.description, "readOnly": tool.read_only})
        record: dict[str, Any] = {"server": server.name}
        if server.description:
            record["serverDescription"] = server.description.encode("utf-8", "replace").decode("utf-8")
        record["tools"] = entries
        catalogue.append(record)
    return json.dumps(catalogue, ensure_ascii=False, separators=(",", ":")), tools


def tool_specs(engine: SchemaEngine, tools: Sequence[ListedTool]) -> list[ToolSpec]:
    """The tools as the engine names them, in catalogue order."""
    entries = search_entries(engine)
    if len(entries) != len(tools) or any(
        entry["server"] != tool.server or entry["tool"] != tool.name.strip(WHITE_SPACE)
        for tool, entry in zip(tools, entries, strict=False)
    ):
        raise RuntimeError("the engine's catalogue does not match the tools it was given")
    return [
        ToolSpec(
            server=tool.server,
            name=tool.name,
            field=entry["field"],
            description=entry["description"],
            read_only=entry["readOnly"],
            input_schema=tool.input_schema,
            output_schema=tool.output_schema,
        )
        for tool, entry in zip(tools, entries, strict=True)
    ]


def find_collisions(specs: Sequence[ToolSpec]) -> list[Collision]:
    collisions: list[Collision] = []
    first: dict[str, ToolSpec] = {}
    for spec in specs:
        if spec.field in BUILT_IN_FIELDS:
            collisions.append(Collision(spec.field, spec, None))
        elif spec.field in first:
            collisions.append(Collision(spec.field, spec, first[spec.field]))
        else:
            first[spec.field] = spec
    return collisions
