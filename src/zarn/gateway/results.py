"""A tool result as a field's value, in the shape of the engine's own tool error object.

Clients then handle one shape for every tool field, whether the call worked,
the tool reported an error, or the server could not be reached::

    {"isError": false, "json": {...} or null, "text": "...", "content": [...]}

"json" is the result's structuredContent when present, else its single text
item parsed as JSON when it is JSON, else null; "text" joins the text items
with newlines; "content" (the items as given) is there only when some items
are not text, so that images, audio and resources are not lost.
"""

from __future__ import annotations

import json
import math
import re
from collections.abc import Mapping
from typing import Any, Final, NoReturn

from zarn.host import compact_json

__all__ = ["error_value", "field_value", "has_utf8_form"]

# The engine reads replies nested at most 127 deep; the value object around "json" takes one level.
_MAX_DEPTH: Final = 126
# Numbers that may lie beyond a double's range, which the engine refuses: long exponents and digit runs.
_BIG_NUMBER: Final = re.compile(r"[eE]\+?[0-9]{3}|[0-9]{309}")


def field_value(result: Any) -> str:
    """The JSON text of a field's value for a `tools/call` result; ValueError if it cannot be written."""
    if not isinstance(result, Mapping):
        raise ValueError("the result is not a JSON object")
    content = result.get("content")
    items: list[Any] = content if isinstance(content, list) else []
    texts = [
        item["text"]
        for item in items
        if isinstance(item, Mapping) and item.get("type") == "text" and isinstance(item.get("text"), str)
    ]
    structured = result.get("structuredContent")
    if structured is not None:
        json_text = _dumps(structured)
        if (problem := _unreadable(json_text, structured)) is not None:
            raise ValueError(f"its structuredContent holds {problem}")
    elif len(texts) == 1:
        json_text = _json_text(texts[0])
    else:
        json_text = "null"
    parts = [
        '{"isError":',
        "true" if result.get("isError") is True else "false",
        ',"json":',
        json_text,
        ',"text":',
        _dumps("\n".join(texts)),
    ]
    if len(texts) != len(items):
        content = _dumps(items)
        if (problem := _unreadable(content, items)) is not None:
            raise ValueError(f"its content holds {problem}")
        parts += [',"content":', content]
    parts.append("}")
    return "".join(parts)


def error_value(text: str) -> str:
    """The engine's tool error object for a failure that `text` describes."""
    return '{"isError":true,"json":null,"text":' + _dumps(text) + "}"


def _dumps(value: Any) -> str:
    text = compact_json(value)
    if not text.isascii() and not has_utf8_form(text):
        # A lone surrogate (from a "\ud800" escape) has no UTF-8 form, and the
        # engine refuses its escape too: it becomes U+FFFD.
        text = text.encode("utf-16", "surrogatepass").decode("utf-16", "replace")
    return text


def _reject_constant(name: str) -> NoReturn:
    raise ValueError(f"{name} is not JSON")


def _json_text(text: str) -> str:
    """The text itself when it is JSON that the engine reads as Python does, else its value rewritten, or null."""
    # Cheap refusal first: most texts are prose, and JSON starts with few letters.
    stripped = text.lstrip(" \t\r\n")
    if not stripped or stripped[0] not in '{["-0123456789tfn':
        return "null"
    try:
        value = json.loads(text, parse_constant=_reject_constant)
    except ValueError, RecursionError:
        return "null"
    if _unreadable(text, value) is not None:
        return "null"  # the text stays in "text"
    # Escapes may spell lone surrogates, which the engine refuses.
    return text if "\\u" not in text and (text.isascii() or has_utf8_form(text)) else _dumps(value)


def _unreadable(text: str, value: Any) -> str | None:
    """What in `value` (written as `text`) the engine would refuse, or None."""
    # Scans in C rule out almost every value before any walk in Python.
    deep = text.count("[") + text.count("{") > _MAX_DEPTH
    if not deep and _BIG_NUMBER.search(text) is None:
        return None
    stack: list[tuple[Any, int]] = [(value, 0)]
    while stack:
        item, depth = stack.pop()
        if isinstance(item, (dict, list)):
            if depth == _MAX_DEPTH:
                return f"values nested more than {_MAX_DEPTH} deep"
            stack.extend((child, depth + 1) for child in (item.values() if isinstance(item, dict) else item))
        elif isinstance(item, float) and not math.isfinite(item):
            return "a number out of range"
        elif isinstance(item, int) and item.bit_length() > 1000:
            try:
                float(item)
            except OverflowError:
                return "a number out of range"
    return None


def has_utf8_form(text: str) -> bool:
    """False for text the engine refuses: lone surrogates have no UTF-8 form."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True
