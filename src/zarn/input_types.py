"""GraphQL argument types for a tool's JSON Schema input.

A tool declares its input as a JSON Schema object; each property becomes one
GraphQL argument of the tool's field. The mapping keeps to what the engine
passes on unchanged, so a value that a client validates against the generated
schema reaches the tool as the client wrote it:

- string → String, or an enum type when every allowed value is a GraphQL name
  (the engine sends an enum literal as its name, a JSON string);
- integer → Int, or Long when the schema's bounds or format go past 32 bits;
- number → Float, boolean → Boolean, array → a list of its items' type;
- objects, type lists other than "T or null", anyOf/oneOf of several types,
  and anything unknown → JSON.

"null" in a type list, a null branch of anyOf/oneOf and `nullable: true` make a
type nullable; only a required property that does not allow null is non-null.
Local `$ref`s ("#/$defs/..." and the like) are followed.
"""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from typing import Any

from graphql import (
    GraphQLArgument,
    GraphQLBoolean,
    GraphQLEnumType,
    GraphQLEnumValue,
    GraphQLError,
    GraphQLFloat,
    GraphQLInputType,
    GraphQLInt,
    GraphQLList,
    GraphQLNonNull,
    GraphQLScalarType,
    GraphQLString,
    IntValueNode,
    ValueNode,
)
from graphql.pyutils import inspect

__all__ = ["JSON", "LONG", "ArgumentTyper", "is_graphql_name"]

_NAME = re.compile(r"[_A-Za-z][_0-9A-Za-z]*")
# The engine passes integers in this range on exactly; beyond it a literal becomes a double.
LONG_MIN, LONG_MAX = -(2**63), 2**64 - 1
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1
_WIDE_FORMATS = frozenset({"int64", "uint32", "uint64", "long"})
# JSON Schemas nest without bound; past this depth a type is JSON rather than a deep recursion.
_MAX_DEPTH = 32


def is_graphql_name(name: str) -> bool:
    """Whether `name` can name a field, argument or type (names with "__" in front are reserved)."""
    return _NAME.fullmatch(name) is not None and not name.startswith("__")


JSON = GraphQLScalarType(
    "JSON",
    description="Any JSON value: a tool's result, or an argument that is an object or has no simpler type.",
)


def _long(value: Any) -> int:
    if isinstance(value, int) and not isinstance(value, bool) and LONG_MIN <= value <= LONG_MAX:
        return value
    raise GraphQLError(f"Long cannot represent a value other than an integer from -2^63 to 2^64-1: {inspect(value)}")


def _long_literal(node: ValueNode, _variables: Any = None) -> int:
    if isinstance(node, IntValueNode):
        return _long(int(node.value))
    raise GraphQLError(f"Long cannot represent a non-integer value: {inspect(node)}", node)


LONG = GraphQLScalarType(
    "Long",
    description="An integer from -2^63 to 2^64-1, for arguments that go past the 32 bits of Int.",
    serialize=_long,
    parse_value=_long,
    parse_literal=_long_literal,
)


class ArgumentTyper:
    """Types the arguments of tool fields; one per schema, so enum type names stay unique."""

    def __init__(self) -> None:
        self._type_names: set[str] = set()

    def arguments(self, field: str, input_schema: Mapping[str, Any]) -> tuple[dict[str, GraphQLArgument], list[str]]:
        """The field's arguments, and the input properties that cannot be arguments (not GraphQL names)."""
        properties = input_schema.get("properties")
        if not isinstance(properties, Mapping):
            return {}, []
        required = input_schema.get("required")
        required_names = {name for name in required if isinstance(name, str)} if isinstance(required, list) else set()
        arguments: dict[str, GraphQLArgument] = {}
        skipped: list[str] = []
        for name, schema in properties.items():
            if not isinstance(name, str) or not is_graphql_name(name):
                skipped.append(str(name))
                continue
            kind, nullable = self._type(input_schema, schema, f"{field}_{name}", 0, set())
            if name in required_names and not nullable:
                kind = GraphQLNonNull(kind)
            arguments[name] = GraphQLArgument(kind, description=_description(input_schema, schema))
        return arguments, skipped

    def _type(
        self, root: Mapping[str, Any], schema: Any, name: str, depth: int, refs: set[str]
    ) -> tuple[GraphQLInputType, bool]:
        """The nullable form of the type for `schema`, and whether the schema allows null."""
        schema = _follow(root, schema, refs)
        if not isinstance(schema, Mapping) or depth > _MAX_DEPTH:
            return JSON, True
        nullable = schema.get("nullable") is True
        for key in ("anyOf", "oneOf", "allOf"):
            branches = schema.get(key)
            # Beside a type of its own, a composition only narrows that type.
            if isinstance(branches, list) and branches and not {"type", "enum", "const"} & schema.keys():
                kept = [b for b in branches if not _is_null(_follow(root, b, set(refs)))]
                if key != "allOf" and len(kept) < len(branches):
                    nullable = True
                if len(kept) != 1:
                    return JSON, nullable
                kind, inner_nullable = self._type(root, kept[0], name, depth + 1, refs)
                return kind, nullable or inner_nullable
        types, enum_values, enum_null = _types(schema)
        nullable = nullable or "null" in types or enum_null
        types.discard("null")
        if not types:
            return JSON, True  # any value, null included
        if len(types) > 1:
            return JSON, nullable
        match types.pop():
            case "string":
                return self._string(name, enum_values), nullable
            case "integer":
                return (LONG if _is_wide(schema) else GraphQLInt), nullable
            case "number":
                return GraphQLFloat, nullable
            case "boolean":
                return GraphQLBoolean, nullable
            case "array":
                items = schema.get("items")
                if not isinstance(items, Mapping):
                    return GraphQLList(JSON), nullable
                kind, item_nullable = self._type(root, items, name, depth + 1, refs)
                return GraphQLList(kind if item_nullable else GraphQLNonNull(kind)), nullable
            case _:
                return JSON, nullable

    def _string(self, name: str, values: Sequence[Any] | None) -> GraphQLInputType:
        # Enum literals reach the tool as strings, so only values that are GraphQL names
        # (and not the words a literal cannot be) can be enum values.
        if not values or not all(
            isinstance(v, str) and is_graphql_name(v) and v not in ("true", "false", "null") for v in values
        ):
            return GraphQLString
        type_name, n = name, 1
        while type_name in self._type_names:
            n += 1
            type_name = f"{name}_{n}"
        self._type_names.add(type_name)
        return GraphQLEnumType(type_name, {v: GraphQLEnumValue(v) for v in dict.fromkeys(values)})


def _follow(root: Mapping[str, Any], schema: Any, refs: set[str]) -> Any:
    """`schema` with local `$ref`s followed; a cycle or a reference that leads nowhere gives None."""
    while isinstance(schema, Mapping) and isinstance(ref := schema.get("$ref"), str):
        if ref in refs or not ref.startswith("#"):
            return None
        refs.add(ref)
        target: Any = root
        for part in ref[1:].split("/")[1:] if ref != "#" else []:
            part = part.replace("~1", "/").replace("~0", "~")
            target = target.get(part) if isinstance(target, Mapping) else None
        schema = target
    return schema


def _is_null(schema: Any) -> bool:
    return isinstance(schema, Mapping) and schema.get("type") == "null"


def _types(schema: Mapping[str, Any]) -> tuple[set[str], list[Any] | None, bool]:
    """The JSON types a schema names (or that its enum/const values have), its enum values, and whether null is one."""
    values: list[Any] | None = None
    if isinstance(schema.get("enum"), list):
        values = list(schema["enum"])
    elif "const" in schema:
        values = [schema["const"]]
    has_null = values is not None and None in values
    if values is not None:
        values = [v for v in values if v is not None]
    kind = schema.get("type")
    if isinstance(kind, str):
        return {kind}, values, has_null
    if isinstance(kind, list):
        return {k for k in kind if isinstance(k, str)}, values, has_null
    if values:
        return {_json_type(v) for v in values}, values, has_null
    return set(), values, has_null


def _json_type(value: Any) -> str:
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, int):
        return "integer"
    if isinstance(value, float):
        return "number"
    if isinstance(value, str):
        return "string"
    return "array" if isinstance(value, list) else "object"


def _is_wide(schema: Mapping[str, Any]) -> bool:
    if schema.get("format") in _WIDE_FORMATS:
        return True
    for key in ("minimum", "exclusiveMinimum", "maximum", "exclusiveMaximum"):
        bound = schema.get(key)
        if isinstance(bound, int | float) and not isinstance(bound, bool) and not _INT_MIN <= bound <= _INT_MAX:
            return True
    return False


def _description(root: Mapping[str, Any], schema: Any) -> str | None:
    target = _follow(root, schema, set())
    for candidate in (schema, target):
        if isinstance(candidate, Mapping):
            for key in ("description", "title"):
                if isinstance(text := candidate.get(key), str) and text:
                    return text
    return None
