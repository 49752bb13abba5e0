"""Read GraphQL documents for the HTTP layer and decide what the engine runs.

The engine runs the first operation of the text it is given, ignores
``@skip``/``@include``, applies no default values and knows no fragments. A
GraphQL client relies on all of these, so they are settled here, in Python,
before the engine sees any text: a document is parsed once by graphql-core and
kept in a `DocumentCache`; `select_operation` picks the operation that
``operationName`` names; `plan` applies the request's variables (defaults,
omitted nullable variables, conditions) and gives the `Selection` to run: the
engine's text, holding exactly the fields that run, and the variables it uses.

Top-level fragment spreads and inline fragments are expanded into their fields;
fragments deeper down are dropped with the sub-selections that hold them (the
engine answers a field's whole value whatever its sub-selection says).
"""

from __future__ import annotations

import json
import threading
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Final

from graphql import GraphQLSyntaxError, parse, print_ast, value_from_ast_untyped
from graphql.language import ast

__all__ = ["Document", "DocumentCache", "Operation", "RequestError", "Selection", "plan", "select_operation"]

_ROOT_TYPES: Final = {"query": "Query", "mutation": "Mutation", "subscription": "Subscription"}
_VARIANT_LIMIT: Final = 64  # engine texts kept per operation for combinations of omitted variables and conditions
# Selections visited while fragments are expanded, per operation: fragments that
# spread others several times under differing conditions grow exponentially.
SELECTION_LIMIT: Final = 100_000


class RequestError(Exception):
    """A GraphQL request error: the document or the variables cannot run, and nothing runs.

    `locations` are the (line, column) pairs of the document that the error is about.
    """

    def __init__(self, message: str, locations: tuple[tuple[int, int], ...] = ()) -> None:
        super().__init__(message)
        self.message = message
        self.locations = locations

    def entry(self) -> dict[str, Any]:
        """The error as an entry of a response's "errors" list."""
        entry: dict[str, Any] = {"message": self.message}
        if self.locations:
            entry["locations"] = [{"line": line, "column": column} for line, column in self.locations]
        return entry


@dataclass(frozen=True, slots=True)
class Variable:
    """A variable definition: its name, its type as written, and its default."""

    name: str
    type: str
    non_null: bool
    default: ast.ConstValueNode | None
    default_text: str | None  # the default as a literal of the engine's text


# A condition of a field: (is it @include, the literal or the variable's name).
Condition = tuple[bool, bool | str]


@dataclass(slots=True)
class Field:
    """A top-level field under its response key, merged over its occurrences."""

    key: str
    name: str
    arguments: tuple[ast.ArgumentNode, ...]
    text: str  # as the engine reads it, every argument given
    variables: frozenset[str]  # the variables its arguments use
    # Each occurrence's conditions that depend on variables; the field runs when
    # all of one occurrence's conditions hold. None: an occurrence always runs.
    conditions: list[tuple[Condition, ...]] | None


@dataclass(slots=True, eq=False)
class Selection:
    """What the engine runs for one request: its text, the fields' names, the variables it uses.

    Selections are shared by the requests that select alike; `memo` is room for
    what a caller derives from one (the HTTP layer keeps its tool check there).
    """

    text: str
    names: tuple[str, ...]
    variables: tuple[str, ...]
    memo: Any = None


@dataclass(slots=True)
class Operation:
    """One operation of a document, read once and planned per request."""

    kind: str  # "query", "mutation" or "subscription"
    name: str | None
    node: ast.OperationDefinitionNode
    variables: tuple[Variable, ...]
    fields: tuple[Field, ...]
    # Every top-level field name the operation may select, whatever its conditions.
    field_names: frozenset[str]
    # The selection when no condition depends on a variable and no variable is omitted.
    static: Selection | None = None
    variants: dict[tuple[frozenset[str], tuple[bool, ...]], Selection] = field(default_factory=dict)


@dataclass(slots=True)
class Document:
    """A parsed document: its operations by name, or the error that keeps it from running."""

    node: ast.DocumentNode | None
    operations: dict[str | None, Operation]
    only: Operation | None  # the operation when there is exactly one
    error: RequestError | None = None


class DocumentCache:
    """Documents by their text, so that a repeated query costs a dictionary lookup.

    At most `max_entries` documents and `max_characters` characters of query
    text are kept (a parsed document takes some 70 bytes per character); the
    oldest go first. Documents that fail are kept too. Lookups take no lock;
    documents may be added from several threads.
    """

    def __init__(self, max_entries: int = 1000, max_characters: int = 2 * 1024 * 1024) -> None:
        if max_entries < 1 or max_characters < 1:
            raise ValueError("DocumentCache needs room for at least one document")
        self._entries: dict[str, Document] = {}
        self._max_entries = max_entries
        self._max_characters = max_characters
        self._characters = 0  # guarded by _lock
        self._lock = threading.Lock()

    def __len__(self) -> int:
        return len(self._entries)

    def __contains__(self, text: str) -> bool:
        return text in self._entries

    def get(self, text: str) -> Document:
        document = self._entries.get(text)
        if document is None:
            document = read_document(text)
            if len(text) <= self._max_characters:
                with self._lock:
                    entries = self._entries
                    if text not in entries:
                        while entries and (
                            len(entries) >= self._max_entries or self._characters + len(text) > self._max_characters
                        ):
                            oldest = next(iter(entries))
                            del entries[oldest]
                            self._characters -= len(oldest)
                        entries[text] = document
                        self._characters += len(text)
        return document


def read_document(text: str) -> Document:
    """Parse and check `text`; a document that cannot run carries its error."""
    try:
        node = parse(text)
    except GraphQLSyntaxError as error:
        locations = tuple((where.line, where.column) for where in error.locations or ())
        return Document(None, {}, None, RequestError(error.message, locations))
    except RecursionError:
        return Document(None, {}, None, RequestError("the GraphQL document nests too deeply"))
    try:
        return _Reader(node).document()
    except RequestError as error:
        return Document(node, {}, None, error)
    except RecursionError:
        return Document(node, {}, None, RequestError("the GraphQL document nests too deeply"))


def select_operation(document: Document, operation_name: str | None) -> Operation:
    """The operation that runs: the one named, or the only one."""
    if document.error is not None:
        raise document.error
    if operation_name is None:
        if document.only is None:
            if not document.operations:
                raise RequestError("the GraphQL document has no operation")
            raise RequestError("operationName is required: the document has several operations")
        return document.only
    operation = document.operations.get(operation_name)
    if operation is None:
        raise RequestError(f'the document has no operation named "{operation_name}"')
    return operation


def plan(operation: Operation, variables: Mapping[str, Any]) -> Selection:
    """The selection to run with `variables` (the request's, as sent).

    A variable the request leaves out takes its default; without one, a
    nullable variable's arguments are left out and a non-null one is an error.
    """
    omitted: list[str] = []
    for variable in operation.variables:
        if variable.name in variables:
            if variables[variable.name] is None and variable.non_null:
                raise RequestError(f'variable "${variable.name}" of non-null type "{variable.type}" must not be null')
        elif variable.default is not None:
            omitted.append(variable.name)
        elif variable.non_null:
            raise RequestError(f'variable "${variable.name}" of required type "{variable.type}" was not provided')
        else:
            omitted.append(variable.name)
    if not omitted and operation.static is not None:
        return operation.static
    runs = tuple(
        fields.conditions is None or any(_holds(conditions, operation, variables) for conditions in fields.conditions)
        for fields in operation.fields
    )
    key = (frozenset(omitted), runs)
    selection = operation.variants.get(key)
    if selection is None:
        selection = _selection(operation, key[0], runs)
        if len(operation.variants) < _VARIANT_LIMIT:
            operation.variants[key] = selection
    return selection


def _holds(conditions: tuple[Condition, ...], operation: Operation, variables: Mapping[str, Any]) -> bool:
    for include, condition in conditions:
        value: Any = condition
        if isinstance(condition, str):
            if condition in variables:
                value = variables[condition]
            else:
                default = next(v.default for v in operation.variables if v.name == condition)
                value = value_from_ast_untyped(default) if default is not None else None
            if not isinstance(value, bool):
                directive = "@include" if include else "@skip"
                raise RequestError(f'variable "${condition}" of {directive}(if:) must be a Boolean, not {_json(value)}')
        if value is not include:
            return False
    return True


def _selection(operation: Operation, omitted: frozenset[str], runs: tuple[bool, ...]) -> Selection:
    substitutes = {v.name: v.default_text for v in operation.variables if v.name in omitted}
    texts: list[str] = []
    names: list[str] = []
    used: set[str] = set()
    for runs_field, entry in zip(runs, operation.fields, strict=True):
        if not runs_field:
            continue
        names.append(entry.name)
        if entry.variables.isdisjoint(omitted):
            texts.append(entry.text)
            used |= entry.variables
        else:
            texts.append(_field_text(entry.key, entry.name, entry.arguments, substitutes))
            used |= entry.variables - omitted
    return _make_selection(operation.kind, texts, names, used)


def _make_selection(kind: str, texts: list[str], names: list[str], used: set[str]) -> Selection:
    body = "{" + " ".join(texts) + "}"
    return Selection(body if kind == "query" else f"{kind} {body}", tuple(names), tuple(sorted(used)))


def _json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, default=str)


# -- printing -----------------------------------------------------------------


def _field_text(
    key: str, name: str, arguments: tuple[ast.ArgumentNode, ...], substitutes: Mapping[str, str | None]
) -> str:
    """`key:name(arg:value ...)`; an argument that is an omitted variable without a default is left out."""
    head = name if key == name else f"{key}:{name}"
    printed = []
    for argument in arguments:
        value = _value_text(argument.value, substitutes)
        if value is not None:
            printed.append(f"{argument.name.value}:{value}")
    return f"{head}({','.join(printed)})" if printed else head


def _unordered(key: str, name: str, arguments: tuple[ast.ArgumentNode, ...]) -> str:
    """A field's text with its arguments in name order: the order of arguments does not make another field."""
    return _field_text(key, name, tuple(sorted(arguments, key=lambda argument: argument.name.value)), {})


def _value_text(node: ast.ValueNode, substitutes: Mapping[str, str | None]) -> str | None:
    """A literal as the engine reads it; None for an omitted variable that has no default.

    Strings are written as JSON strings with ASCII escapes, which GraphQL reads
    alike (block strings become plain ones, and a lone surrogate stays an escape
    that the engine reports).
    """
    if isinstance(node, ast.VariableNode):
        name = node.name.value
        return substitutes.get(name, f"${name}")
    if isinstance(node, ast.StringValueNode):
        return json.dumps(node.value)
    if isinstance(node, ast.IntValueNode | ast.FloatValueNode | ast.EnumValueNode):
        return node.value
    if isinstance(node, ast.BooleanValueNode):
        return "true" if node.value else "false"
    if isinstance(node, ast.ListValueNode):
        # An omitted variable in a list is a null item, as GraphQL coerces it.
        return "[" + ",".join(_value_text(item, substitutes) or "null" for item in node.values) + "]"
    if isinstance(node, ast.ObjectValueNode):
        members = []
        for member in node.fields:
            value = _value_text(member.value, substitutes)
            if value is not None:
                members.append(f"{member.name.value}:{value}")
        return "{" + ",".join(members) + "}"
    return "null"


# -- reading ------------------------------------------------------------------


def _location(node: ast.Node) -> tuple[tuple[int, int], ...]:
    if node.loc is None:
        return ()
    where = node.loc.source.get_location(node.loc.start)
    return ((where.line, where.column),)


class _Reader:
    """Checks a parsed document and reads its operations' top-level fields."""

    def __init__(self, node: ast.DocumentNode) -> None:
        self.node = node
        self.fragments: dict[str, ast.FragmentDefinitionNode] = {}
        self.budget = SELECTION_LIMIT  # selections left to visit in this operation
        # Fragments expanded under given conditions: another spread of the same adds nothing.
        self.expanded: set[tuple[str, tuple[Condition, ...]]] = set()

    def document(self) -> Document:
        definitions: list[ast.OperationDefinitionNode] = []
        for definition in self.node.definitions:
            if isinstance(definition, ast.OperationDefinitionNode):
                definitions.append(definition)
            elif isinstance(definition, ast.FragmentDefinitionNode):
                fragment = definition.name.value
                if fragment in self.fragments:
                    raise RequestError(f'there can be only one fragment named "{fragment}"', _location(definition))
                self.fragments[fragment] = definition
            else:
                raise RequestError("a request holds operations and fragments only", _location(definition))
        operations: dict[str | None, Operation] = {}
        for definition in definitions:
            name = definition.name.value if definition.name is not None else None
            if name is None and len(definitions) > 1:
                raise RequestError("an anonymous operation must be the only operation", _location(definition))
            if name in operations:
                raise RequestError(f'there can be only one operation named "{name}"', _location(definition))
            operations[name] = self.operation(definition)
        only = next(iter(operations.values())) if len(operations) == 1 else None
        return Document(self.node, operations, only)

    def operation(self, node: ast.OperationDefinitionNode) -> Operation:
        kind = node.operation.value
        name = node.name.value if node.name is not None else None
        variables: dict[str, Variable] = {}
        for definition in node.variable_definitions or ():
            variable = definition.variable.name.value
            if variable in variables:
                raise RequestError(f'there can be only one variable named "${variable}"', _location(definition))
            default = definition.default_value
            variables[variable] = Variable(
                variable,
                print_ast(definition.type),
                isinstance(definition.type, ast.NonNullTypeNode),
                default,
                _value_text(default, {}) if default is not None else None,
            )

        occurrences: list[tuple[ast.FieldNode, tuple[Condition, ...]]] = []
        self.budget = SELECTION_LIMIT
        self.expanded.clear()
        self.collect(node.selection_set, _ROOT_TYPES[kind], (), occurrences, set())

        fields: dict[str, Field] = {}
        for occurrence, conditions in occurrences:
            used = _variables_of(occurrence)
            for variable in sorted(used | {v for _, v in conditions if isinstance(v, str)}):
                if variable not in variables:
                    of = f' by operation "{name}"' if name is not None else ""
                    raise RequestError(f'variable "${variable}" is not defined{of}', _location(occurrence))
            arguments = tuple(occurrence.arguments or ())
            _check_unique_arguments(arguments)
            key = occurrence.alias.value if occurrence.alias is not None else occurrence.name.value
            text = _field_text(key, occurrence.name.value, arguments, {})
            known = fields.get(key)
            if known is None:
                known = Field(key, occurrence.name.value, arguments, text, frozenset(used), [])
                fields[key] = known
            elif known.text != text and _unordered(known.key, known.name, known.arguments) != _unordered(
                key, occurrence.name.value, arguments
            ):
                reason = (
                    f'"{known.name}" and "{occurrence.name.value}" are different fields'
                    if known.name != occurrence.name.value
                    else "they have differing arguments"
                )
                raise RequestError(f'fields "{key}" conflict because {reason}', _location(occurrence))
            if known.conditions is not None:
                if conditions:
                    known.conditions.append(conditions)
                else:
                    known.conditions = None

        kept = tuple(entry for entry in fields.values() if entry.conditions is None or entry.conditions)
        operation = Operation(
            kind,
            name,
            node,
            tuple(variables.values()),
            kept,
            frozenset(occurrence.name.value for occurrence, _ in occurrences),
        )
        if all(entry.conditions is None for entry in kept):
            used_all: set[str] = set()
            for entry in kept:
                used_all |= entry.variables
            operation.static = _make_selection(
                kind, [entry.text for entry in kept], [entry.name for entry in kept], used_all
            )
        return operation

    def collect(
        self,
        selection_set: ast.SelectionSetNode,
        root: str,
        conditions: tuple[Condition, ...],
        out: list[tuple[ast.FieldNode, tuple[Condition, ...]]],
        spreading: set[str],
    ) -> None:
        """Append the fields of `selection_set` with their conditions, fragments expanded.

        An occurrence that a literal condition excludes is left out; the
        conditions kept are those that depend on variables.
        """
        for selection in selection_set.selections:
            self.budget -= 1
            if self.budget < 0:
                raise RequestError(
                    f"the operation expands to more than {SELECTION_LIMIT} selections", _location(selection)
                )
            own = _conditions(selection)
            if own is None:
                continue
            combined = conditions + own
            if isinstance(selection, ast.FieldNode):
                out.append((selection, combined))
            elif isinstance(selection, ast.InlineFragmentNode):
                _check_type(selection.type_condition, root, "an inline fragment", selection)
                self.collect(selection.selection_set, root, combined, out, spreading)
            elif isinstance(selection, ast.FragmentSpreadNode):
                name = selection.name.value
                fragment = self.fragments.get(name)
                if fragment is None:
                    raise RequestError(f'unknown fragment "{name}"', _location(selection))
                if name in spreading:
                    raise RequestError(f'cannot spread fragment "{name}" within itself', _location(selection))
                _check_type(fragment.type_condition, root, f'fragment "{name}"', selection)
                if (name, combined) in self.expanded:
                    continue
                self.expanded.add((name, combined))
                spreading.add(name)
                self.collect(fragment.selection_set, root, combined, out, spreading)
                spreading.discard(name)


def _check_type(condition: ast.NamedTypeNode | None, root: str, what: str, node: ast.Node) -> None:
    if condition is not None and condition.name.value != root:
        message = f'{what} on "{condition.name.value}" cannot be spread here: the operation\'s type is "{root}"'
        raise RequestError(message, _location(node))


def _conditions(node: ast.SelectionNode) -> tuple[Condition, ...] | None:
    """The node's @skip/@include conditions that depend on variables; None when a literal one excludes it."""
    found: list[Condition] = []
    for directive in node.directives or ():
        kind = directive.name.value
        if kind not in ("skip", "include"):
            continue  # the engine has no other directives; they are dropped
        include = kind == "include"
        values = [argument.value for argument in directive.arguments or () if argument.name.value == "if"]
        if len(values) != 1:
            raise RequestError(f'@{kind} needs exactly one "if" argument', _location(directive))
        value = values[0]
        if isinstance(value, ast.VariableNode):
            found.append((include, value.name.value))
        elif isinstance(value, ast.BooleanValueNode):
            if value.value is not include:
                return None
        else:
            raise RequestError(f'the "if" argument of @{kind} must be a Boolean', _location(value))
    return tuple(found)


def _variables_of(node: ast.FieldNode) -> set[str]:
    found: set[str] = set()
    pending: list[ast.ValueNode] = [argument.value for argument in node.arguments or ()]
    while pending:
        value = pending.pop()
        if isinstance(value, ast.VariableNode):
            found.add(value.name.value)
        elif isinstance(value, ast.ListValueNode):
            pending.extend(value.values)
        elif isinstance(value, ast.ObjectValueNode):
            names = [member.name.value for member in value.fields]
            if len(set(names)) != len(names):
                repeated = next(n for n in names if names.count(n) > 1)
                raise RequestError(f'there can be only one input field named "{repeated}"', _location(value))
            pending.extend(member.value for member in value.fields)
    return found


def _check_unique_arguments(arguments: tuple[ast.ArgumentNode, ...]) -> None:
    seen: set[str] = set()
    for argument in arguments:
        name = argument.name.value
        if name in seen:
            raise RequestError(f'there can be only one argument named "{name}"', _location(argument))
        seen.add(name)
