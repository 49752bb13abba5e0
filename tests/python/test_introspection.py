import json

import pytest
from graphql import parse

from zarn import SchemaEngine
from zarn.introspection import answer_introspection, selects_introspection
from zarn.schema import GeneratedSchema


@pytest.fixture
def generated(engine: SchemaEngine) -> GeneratedSchema:
    return GeneratedSchema.for_engine(engine)


@pytest.mark.parametrize(
    ("query", "operation", "expected"),
    [
        ("{ __schema { queryType { name } } }", None, True),
        ('{ t: __type(name: "Query") { name } }', None, True),
        ("{ __typename }", None, False),
        ("{ alpha_lookup { __schema } }", None, False),  # not at the top level
        ("{ ... on Query { __schema { queryType { name } } } }", None, True),
        ('{ ...F } fragment F on Query { ...G } fragment G on Query { __type(name: "JSON") { name } }', None, True),
        ("{ ...F } fragment F on Query { ...F }", None, False),  # a cycle ends
        ("query A { __typename } query B { __schema { queryType { name } } }", "A", False),
        ("query A { __typename } query B { __schema { queryType { name } } }", "B", True),
        ("query A { __typename } query B { __schema { queryType { name } } }", None, False),  # no operation picked
    ],
)
def test_selects_introspection(query: str, operation: str | None, expected: bool) -> None:
    assert selects_introspection(parse(query), operation) is expected


def error(*messages: str) -> str:
    return '{"data":null,"errors":[' + ",".join(f'{{"message":"{m}"}}' for m in messages) + "]}"


@pytest.mark.parametrize(
    ("query", "operation", "variables", "expected"),
    [
        (
            "{ __schema { queryType { name } } __typename servers { name toolCount } }",
            None,
            None,
            '{"data":{"__schema":{"queryType":{"name":"Query"}},"__typename":"Query",'
            '"servers":[{"name":"alpha","toolCount":2},{"name":"beta","toolCount":1}]},"errors":[]}',
        ),
        (
            "query T($n: String!) { __type(name: $n) { name } search { readOnly field } }",
            None,
            {"n": "SearchEntry"},
            '{"data":{"__type":{"name":"SearchEntry"},"search":[{"field":"alpha_lookup","readOnly":true},'
            '{"field":"alpha_store","readOnly":false},{"field":"beta_echo","readOnly":true}]},"errors":[]}',
        ),
        # Only the operation that runs is validated: B's unknown field does not matter.
        (
            'query A { __type(name: "Nope") { name } } query B { nope }',
            "A",
            None,
            '{"data":{"__type":null},"errors":[]}',
        ),
        (
            "{ __schema { queryType { name } } alpha_lookup beta_echo }",
            None,
            None,
            error(
                "an operation that selects __schema or __type cannot select tool fields (alpha_lookup, beta_echo);"
                " send them in an operation of their own"
            ),
        ),
        (
            "{ __schema { nope } __type { name } }",
            None,
            None,
            error(
                "Cannot query field 'nope' on type '__Schema'.",
                "Field '__type' argument 'name' of type 'String!' is required, but it was not provided.",
            ),
        ),
        (
            "query T($n: String!) { __type(name: $n) { name } }",
            None,
            {},
            error("Variable '$n' of required type 'String!' was not provided."),
        ),
        ("query A { __typename } query B { __typename }", "C", None, error("Unknown operation named 'C'.")),
        (
            "mutation { __schema { queryType { name } } }",
            None,
            None,
            error("Schema is not configured to execute mutation operation."),
        ),
    ],
)
def test_answers(
    generated: GeneratedSchema, query: str, operation: str | None, variables: dict[str, str] | None, expected: str
) -> None:
    # The engine's compact shape, keys in byte order whatever the selection's order.
    assert answer_introspection(generated, parse(query), operation, variables) == expected


def test_answers_are_kept_per_operation_and_variables(generated: GeneratedSchema) -> None:
    document = parse("query A($n: String!) { __type(name: $n) { name } } query B { __typename }")
    for _ in range(2):
        for name in ("SearchEntry", "ServerSummary"):
            text = answer_introspection(generated, document, "A", {"n": name})
            assert json.loads(text)["data"] == {"__type": {"name": name}}
    assert answer_introspection(generated, document, "B") == '{"data":{"__typename":"Query"},"errors":[]}'
