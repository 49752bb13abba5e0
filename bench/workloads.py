"""Seeded inputs for the peer benchmarks, and the documents they must produce.

Everything here is computed from the catalogue model in Python, independently of
the engine, so a wrong engine response is caught before it is timed.
"""

from __future__ import annotations

import json
import random
import re
from dataclasses import dataclass
from typing import Any

SEED = 20261208

_SERVER_NAMES = [
    "files",
    "github",
    "tracker",
    "slack",
    "postgres",
    "calendar",
    "weather",
    "browser",
    "k8s",
    "mail",
    "search-index",
    "billing",
    "crm",
    "docs",
    "maps",
    "metrics",
    "vault",
    "ci",
    "translate",
    "notes",
]
_SERVER_BLURBS = [
    "Reads and writes the project's files",
    "Repositories, issues and pull requests",
    "The team's issue tracker",
    "Channels, threads and direct messages",
    "Read-only access to the analytics database",
    "Meetings and free/busy lookups",
    "Forecasts and current conditions",
    "A headless browser for fetching pages",
    "Cluster workloads and their logs",
    "The shared support mailbox",
]
_VERBS = [
    "list",
    "get",
    "create",
    "update",
    "delete",
    "search",
    "read",
    "write",
    "move",
    "copy",
    "archive",
    "restore",
    "export",
    "import",
    "sync",
    "describe",
    "watch",
    "approve",
    "merge",
    "close",
    "open",
    "assign",
    "label",
    "comment",
    "summarize",
    "render",
    "resolve",
    "validate",
    "schedule",
    "cancel",
]
_NOUNS = [
    "file",
    "files",
    "issue",
    "issues",
    "pull request",
    "branch",
    "commit",
    "channel",
    "message",
    "thread",
    "table",
    "query",
    "event",
    "calendar",
    "forecast",
    "page",
    "screenshot",
    "pod",
    "deployment",
    "log",
    "mail",
    "draft",
    "invoice",
    "customer",
    "contact",
    "document",
    "route",
    "dashboard",
    "secret",
    "pipeline",
    "job",
    "artifact",
    "note",
    "tag",
    "user",
    "team",
    "report",
    "snapshot",
    "alert",
    "metric",
]
_WORDS = [
    "the",
    "a",
    "of",
    "to",
    "and",
    "for",
    "with",
    "from",
    "by",
    "in",
    "on",
    "at",
    "every",
    "one",
    "each",
    "its",
    "their",
    "this",
    "that",
    "given",
    "current",
    "project",
    "repository",
    "workspace",
    "record",
    "records",
    "entry",
    "entries",
    "result",
    "results",
    "page",
    "pages",
    "item",
    "items",
    "field",
    "fields",
    "value",
    "values",
    "text",
    "summary",
    "status",
    "owner",
    "date",
    "range",
    "limit",
    "cursor",
    "token",
    "filter",
    "sort",
    "order",
    "newest",
    "oldest",
    "first",
    "last",
    "matching",
    "selected",
    "optional",
    "required",
    "returns",
    "lists",
    "creates",
    "updates",
    "removes",
    "reads",
    "writes",
    "searches",
    "fetches",
    "checks",
    "counts",
    "groups",
    "formats",
    "plain",
    "markdown",
    "json",
    "html",
    "utf-8",
]
# Three separators a real catalogue uses between the words of a tool name.
_SEPARATORS = ["-", "_", " "]
_MUTATING_VERBS = {
    "create",
    "update",
    "delete",
    "write",
    "move",
    "archive",
    "restore",
    "import",
    "sync",
    "approve",
    "merge",
    "close",
    "open",
    "assign",
    "label",
    "comment",
    "schedule",
    "cancel",
}


@dataclass(frozen=True)
class Tool:
    server: str
    server_description: str | None
    tool: str
    description: str
    read_only: bool

    @property
    def field(self) -> str:
        return sanitize_graphql_name(self.server) + "_" + sanitize_graphql_name(self.tool)


def sanitize_graphql_name(text: str) -> str:
    """ASCII letters, digits and "_" stay, any other character becomes "_"."""
    if not text:
        return "_"
    out = "".join(c if (c.isascii() and (c.isalnum() or c == "_")) else "_" for c in text)
    return "_" + out if out[0].isdigit() else out


def _sentence(rng: random.Random, low: int, high: int) -> str:
    words = [rng.choice(_WORDS) for _ in range(rng.randint(low, high))]
    return (" ".join(words)).capitalize()


def _input_schema(rng: random.Random) -> dict[str, Any]:
    names = rng.sample(["query", "path", "limit", "cursor", "owner", "since", "format", "id"], rng.randint(1, 3))
    kinds = {"limit": "integer", "since": "string", "id": "string"}
    properties = {name: {"type": kinds.get(name, "string"), "description": _sentence(rng, 3, 7)} for name in names}
    return {"type": "object", "properties": properties, "required": names[:1]}


def make_catalogue(tool_count: int, server_count: int, seed: int = SEED) -> tuple[list[Tool], str]:
    """`tool_count` tools spread evenly over `server_count` servers, and their
    catalogue text: an array of server objects with tools, descriptions, some
    annotations and input schemas (the engine skips what it does not use)."""
    rng = random.Random(seed)
    servers: list[dict[str, Any]] = []
    tools: list[Tool] = []
    per_server = tool_count // server_count
    for s in range(server_count):
        base = _SERVER_NAMES[s % len(_SERVER_NAMES)]
        name = base if s < len(_SERVER_NAMES) else f"{base}-{s // len(_SERVER_NAMES)}"
        blurb = _SERVER_BLURBS[s % len(_SERVER_BLURBS)] if s % 3 != 2 else None
        count = per_server + (1 if s < tool_count % server_count else 0)
        seen: set[str] = set()
        entries: list[dict[str, Any]] = []
        while len(entries) < count:
            verb, noun = rng.choice(_VERBS), rng.choice(_NOUNS)
            tool_name = rng.choice(_SEPARATORS).join([verb, *noun.split()])
            if sanitize_graphql_name(tool_name) in seen:
                continue  # field names stay distinct, so every tool can be selected
            seen.add(sanitize_graphql_name(tool_name))
            description = f"{verb.capitalize()} {noun}: " + _sentence(rng, 8, 22)
            read_only = verb not in _MUTATING_VERBS
            entry: dict[str, Any] = {"name": tool_name, "description": description}
            if rng.random() < 0.7:
                entry["annotations"] = {
                    "title": f"{verb.capitalize()} {noun}",
                    "readOnlyHint": read_only,
                    "destructiveHint": verb in {"delete", "archive", "cancel"},
                }
            else:
                read_only = True  # no read-only information: the tool counts as read-only
            entry["inputSchema"] = _input_schema(rng)
            entries.append(entry)
            tools.append(Tool(name, blurb, tool_name, description, read_only))
        server: dict[str, Any] = {"server": name}
        if blurb is not None:
            server["serverDescription"] = blurb
        server["tools"] = entries
        servers.append(server)
    return tools, json.dumps(servers, ensure_ascii=False)


def tools_from_catalogue(document: list[dict[str, Any]]) -> list[Tool]:
    """The tools of a catalogue in make_catalogue's layout (servers with tools)."""
    tools = []
    for server in document:
        for entry in server["tools"]:
            read_only = entry.get("annotations", {}).get("readOnlyHint", True)
            tools.append(
                Tool(
                    server["server"],
                    server.get("serverDescription"),
                    entry["name"],
                    entry.get("description", ""),
                    read_only,
                )
            )
    return tools


def operation(tool: Tool) -> str:
    return "query" if tool.read_only else "mutation"


# -- expected values ---------------------------------------------------------


def placeholder(tool: Tool) -> dict[str, Any]:
    text = f"SchemaEngine stub resolved {tool.server}.{tool.tool} but CallBridge is not wired yet"
    return {"isError": True, "json": None, "text": text}


def server_summaries(tools: list[Tool]) -> list[dict[str, Any]]:
    summaries: dict[str, dict[str, Any]] = {}
    for tool in tools:
        entry = summaries.setdefault(
            tool.server, {"description": None, "name": tool.server, "readOnlyCount": 0, "toolCount": 0}
        )
        entry["toolCount"] += 1
        entry["readOnlyCount"] += tool.read_only
        if entry["description"] is None:
            entry["description"] = tool.server_description
    # Python orders str by code point, which is the byte order of their UTF-8.
    out = [summaries[name] for name in sorted(summaries)]
    for entry in out:
        entry["description"] = entry["description"] or ""
    return out


def search_hits(tools: list[Tool]) -> list[dict[str, Any]]:
    return [
        {"description": t.description, "field": t.field, "readOnly": t.read_only, "server": t.server, "tool": t.tool}
        for t in tools
    ]


def success(data: dict[str, Any]) -> dict[str, Any]:
    return {"data": data, "errors": []}


# -- queries ------------------------------------------------------------------


def small_arguments(index: int) -> dict[str, Any]:
    """Three small arguments, varied by field."""
    return {"query": f"term {index}", "limit": 5 + index % 20, "verbose": index % 2 == 0}


def _literal(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    return json.dumps(value)


def tool_fields_query(tools: list[Tool]) -> str:
    """One field per tool, each with small_arguments of its position."""
    parts = []
    for i, tool in enumerate(tools):
        args = ", ".join(f"{k}: {_literal(v)}" for k, v in small_arguments(i).items())
        parts.append(f"  {tool.field}({args})")
    return "{\n" + "\n".join(parts) + "\n}"


def large_variables(target_bytes: int, seed: int = SEED) -> str:
    """A variables document of about `target_bytes` bytes: one member holding
    a list of records as an API export would produce."""
    rng = random.Random(seed)
    records = []
    size = 0
    i = 0
    while size < target_bytes:
        record = {
            "id": i,
            "name": f"{rng.choice(_NOUNS)} {rng.choice(_WORDS)} {i}",
            "email": f"user{i}@example.org",
            "active": rng.random() < 0.8,
            "score": round(rng.uniform(0, 100), 3),
            "tags": rng.sample(_WORDS, 3),
            "notes": _sentence(rng, 4, 14),
            "owner": None if rng.random() < 0.2 else {"id": rng.randint(1, 10_000), "team": rng.choice(_NOUNS)},
        }
        text = json.dumps(record, ensure_ascii=False)
        size += len(text) + 1
        records.append(record)
        i += 1
    return json.dumps({"payload": {"records": records, "count": len(records)}}, ensure_ascii=False)


LARGE_VARIABLES_QUERY_TEMPLATE = "query Upload($payload: JSON) {{ {field}(data: $payload) }}"

# A tool's reply in the bridge workloads: small, with a nested list and a float.
REPLY = {"hits": [{"path": "docs/README.md", "score": 0.93}], "total": 1}
REPLY_TEXT = json.dumps(REPLY, separators=(",", ":"))


# -- non-ASCII text -------------------------------------------------------------

# Words of descriptions, notes and tags given a non-ASCII form: Latin-1 letters,
# typographic quotes and dashes, Cyrillic and CJK, so that the text is stored as
# UCS-2 as most real catalogues are (one character past U+00FF is enough). None
# of them occurs in a server or tool name, a server description or a key.
_NON_ASCII_WORDS = {
    "summary": "résumé",
    "status": "état",
    "token": "жетон",
    "newest": "最新",
    "oldest": "最古",
    "matching": "übereinstimmend",
    "markdown": "“markdown”",
    "filter": "filter — фильтр",
    "entries": "entrées",
    "utf-8": "utf‑8",
}
_NON_ASCII_PATTERN = re.compile(r"\b(" + "|".join(re.escape(w) for w in _NON_ASCII_WORDS) + r")\b")


def non_ascii(text: str) -> str:
    """`text` (a catalogue or variables document) with some words of its prose
    in non-ASCII forms; names, keys and structure stay as they are."""
    return _NON_ASCII_PATTERN.sub(lambda m: _NON_ASCII_WORDS[m.group(1)], text)
