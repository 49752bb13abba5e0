"""Introspection answered from the generated schema.

The engine answers `__typename` but not `__schema` or `__type`; an operation
that selects either of them at its top level is executed here, by graphql-core
over the `GeneratedSchema`, and every other operation goes to the engine.

Besides introspection such an operation may select `__typename` and the
built-in fields `servers` and `search` (answered from the catalogue as the
engine answers them), but no tool field: tools are called by the engine, which
resolves all of an operation's tool fields together and answers it as one
document, so half an operation cannot go to each. An operation that mixes the
two is refused with one error and calls no tool.

Responses keep the engine's conventions: compact JSON, the members of every
object in byte order of their keys, either `{"data": {...}, "errors": []}` or
`{"data": null, "errors": [{"message": ...}, ...]}` (only messages, never data
and errors together).
"""

from __future__ import annotations

import json
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

from graphql import (
    DefinitionNode,
    DocumentNode,
    FieldNode,
    FragmentDefinitionNode,
    FragmentSpreadNode,
    InlineFragmentNode,
    SelectionSetNode,
    execute_sync,
    get_operation_ast,
    validate,
)

from zarn.schema import GeneratedSchema

__all__ = ["INTROSPECTION_FIELDS", "answer_introspection", "selects_introspection"]

INTROSPECTION_FIELDS = frozenset({"__schema", "__type"})
_KEPT_ANSWERS = 16


def selects_introspection(document: DocumentNode, operation_name: str | None = None) -> bool:
    """Whether the operation that `operation_name` picks selects `__schema` or `__type` at its top
    level, through fragments too. Directives are not looked at: `@skip` decides at execution."""
    operation = get_operation_ast(document, operation_name)
    if operation is None:
        return False
    names = (field.name.value for field in _top_level_fields(operation.selection_set, _fragments(document), set()))
    return any(name in INTROSPECTION_FIELDS for name in names)


def answer_introspection(
    generated: GeneratedSchema,
    document: DocumentNode,
    operation_name: str | None = None,
    variables: Mapping[str, Any] | None = None,
) -> str:
    """The response document text for one operation of `document`, executed over the generated schema.

    Only the operation that runs and the fragments it uses are validated, as
    the engine ignores the rest of a document too. The latest answers are kept
    by document text, operation and variables: a large catalogue's full
    introspection takes graphql-core seconds, and every explorer page load asks it.
    """
    key = None
    if document.loc is not None:
        key = (document.loc.source.body, operation_name, json.dumps(variables, sort_keys=True, default=repr))
        if (cached := generated.answers.get(key)) is not None:
            return cached
    text = _answer(generated, document, operation_name, variables)
    if key is not None:
        if len(generated.answers) >= _KEPT_ANSWERS:
            generated.answers.clear()  # a few kinds of query ask for introspection; they come back soon
        generated.answers[key] = text
    return text


def _answer(
    generated: GeneratedSchema, document: DocumentNode, operation_name: str | None, variables: Mapping[str, Any] | None
) -> str:
    operation = get_operation_ast(document, operation_name)
    if operation is None:
        if operation_name is not None:
            return _errors([f"Unknown operation named '{operation_name}'."])
        return _errors(["Must provide operation name if query contains multiple operations."])
    fragments = _fragments(document)
    used = _used_fragments(operation.selection_set, fragments)
    definitions: list[DefinitionNode] = [operation, *(fragments[name] for name in used)]
    reduced = DocumentNode(definitions=tuple(definitions))
    errors = validate(generated.schema, reduced)
    if errors:
        return _errors([error.message for error in errors])
    tools = sorted(
        {f.name.value for f in _top_level_fields(operation.selection_set, fragments, set())}
        & generated.tool_fields.keys()
    )
    if tools:
        return _errors(
            [
                "an operation that selects __schema or __type cannot select tool fields ("
                + ", ".join(tools)
                + "); send them in an operation of their own"
            ]
        )
    result = execute_sync(
        generated.schema, reduced, root_value=generated.catalogue, variable_values=dict(variables or {})
    )
    if result.errors:
        return _errors([error.message for error in result.errors])
    return _dumps({"data": result.data, "errors": []})


def _fragments(document: DocumentNode) -> dict[str, FragmentDefinitionNode]:
    fragments: dict[str, FragmentDefinitionNode] = {}
    for definition in document.definitions:
        if isinstance(definition, FragmentDefinitionNode):
            fragments.setdefault(definition.name.value, definition)
    return fragments


def _top_level_fields(
    selections: SelectionSetNode, fragments: Mapping[str, FragmentDefinitionNode], seen: set[str]
) -> Iterator[FieldNode]:
    """The fields an operation selects at its top level, with its fragments' fields merged in."""
    for selection in selections.selections:
        if isinstance(selection, FieldNode):
            yield selection
        elif isinstance(selection, InlineFragmentNode):
            yield from _top_level_fields(selection.selection_set, fragments, seen)
        elif isinstance(selection, FragmentSpreadNode) and selection.name.value not in seen:
            seen.add(selection.name.value)
            fragment = fragments.get(selection.name.value)
            if fragment is not None:
                yield from _top_level_fields(fragment.selection_set, fragments, seen)


def _used_fragments(selections: SelectionSetNode, fragments: Mapping[str, FragmentDefinitionNode]) -> list[str]:
    """The names of the fragments a selection set uses, at any depth, each once (unknown ones left to validation)."""
    used: list[str] = []
    pending: list[SelectionSetNode] = [selections]
    while pending:
        for selection in pending.pop().selections:
            if isinstance(selection, FragmentSpreadNode):
                name = selection.name.value
                if name in fragments and name not in used:
                    used.append(name)
                    pending.append(fragments[name].selection_set)
            elif isinstance(selection, FieldNode | InlineFragmentNode) and selection.selection_set is not None:
                pending.append(selection.selection_set)
    return used


def _errors(messages: Sequence[str]) -> str:
    return _dumps({"data": None, "errors": [{"message": message} for message in messages]})


def _dumps(document: Mapping[str, Any]) -> str:
    return json.dumps(document, ensure_ascii=False, separators=(",", ":"), sort_keys=True)
