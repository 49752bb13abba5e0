"""Sample handlers for the tools of the sample catalogue (`zarn.sample_catalogue()`).

They keep a small in-memory project (files and issues) per set of handlers, so
that `python -m zarn --demo` shows reads, writes and failures without touching
anything outside the process.
"""

from __future__ import annotations

import asyncio
import threading
from typing import Any

from zarn.host import Handler

__all__ = ["DEMO_QUERY", "demo_handlers", "demo_input_schemas"]

# What `python -m zarn --demo` runs when no query is given: the built-in
# fields, reads, a write, an async tool and a failing call, all in one query.
DEMO_QUERY = """query Demo {
  servers { name toolCount readOnlyCount }
  search { field readOnly }
  files_search(query: "docs")
  readme: files_read_file(path: "README.md")
  missing: files_read_file(path: "nowhere.md")
  files_write_file(path: "notes/demo.md", text: "Written by the demo")
  tracker_list_issues
  weather_forecast(city: "Oslo", days: 2)
}"""

_FILES = {
    "README.md": "# Demo project\n\nA project that the sample catalogue's tools work on.\n",
    "docs/graphql.md": "Every tool is one top-level GraphQL field.\n",
    "notes/todo.md": "- write the docs\n- answer tool calls from a service thread\n",
}


def _required(args: dict[str, Any], name: str) -> str:
    if name not in args:
        raise ValueError(f"missing argument: {name}")
    return str(args[name])


def demo_handlers() -> dict[tuple[str, str], Handler]:
    """Handlers for every tool of the sample catalogue, over fresh in-memory state."""
    files = dict(_FILES)
    issues: list[dict[str, Any]] = [{"id": 1, "title": "Try the demo", "body": ""}]
    lock = threading.Lock()  # handlers run on several service threads

    def search(args: dict[str, Any]) -> dict[str, Any]:
        needle = str(args.get("query", "")).lower()
        limit = int(args.get("limit", 10))
        if limit < 0:
            raise ValueError("limit must not be negative")
        with lock:
            hits = [path for path, text in sorted(files.items()) if needle in text.lower() or needle in path.lower()]
        return {"hits": hits[:limit], "total": len(hits)}

    def read_file(args: dict[str, Any]) -> dict[str, Any]:
        path = _required(args, "path")
        with lock:
            if path not in files:
                raise FileNotFoundError(f"no such file: {path}")
            return {"path": path, "text": files[path]}

    def write_file(args: dict[str, Any]) -> dict[str, Any]:
        path, text = _required(args, "path"), str(args.get("text", ""))
        with lock:
            created = path not in files
            files[path] = text
        return {"path": path, "bytes": len(text.encode("utf-8")), "created": created}

    def create_issue(args: dict[str, Any]) -> dict[str, Any]:
        with lock:
            issue = {"id": len(issues) + 1, "title": _required(args, "title"), "body": str(args.get("body", ""))}
            issues.append(issue)
        return issue

    def list_issues(args: dict[str, Any]) -> list[dict[str, Any]]:
        with lock:
            return list(reversed(issues))

    async def forecast(args: dict[str, Any]) -> list[dict[str, Any]]:
        await asyncio.sleep(0)  # stands in for a call to a weather service
        city = str(args.get("city", "Oslo"))
        days = int(args.get("days", 1))
        if not 1 <= days <= 16:
            raise ValueError("days must be from 1 to 16")
        return [{"city": city, "day": day + 1, "high": 18 + (day * 3) % 7, "low": 9 + day % 3} for day in range(days)]

    return {
        ("files", "search"): search,
        ("files", "read-file"): read_file,
        ("files", "write-file"): write_file,
        ("tracker", "create-issue"): create_issue,
        ("tracker", "list-issues"): list_issues,
        ("weather", "forecast"): forecast,
    }


def _object(required: tuple[str, ...] = (), **properties: dict[str, Any]) -> dict[str, Any]:
    return {"type": "object", "properties": properties, "required": list(required)}


def demo_input_schemas() -> dict[tuple[str, str], dict[str, Any]]:
    """JSON Schemas of what the sample handlers take, so that the generated schema declares their arguments."""
    text = {"type": "string"}
    return {
        ("files", "search"): _object(
            ("query",), query=text, limit={"type": "integer", "minimum": 0, "description": "At most this many hits"}
        ),
        ("files", "read-file"): _object(("path",), path=text),
        ("files", "write-file"): _object(("path",), path=text, text=text),
        ("tracker", "create-issue"): _object(("title",), title=text, body=text),
        ("tracker", "list-issues"): _object(),
        ("weather", "forecast"): _object(city=text, days={"type": "integer", "minimum": 1, "maximum": 16}),
    }
