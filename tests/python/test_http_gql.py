"""The GraphQL client gql (its httpx transports) against GraphQLApp behind a real uvicorn."""

import asyncio
from collections.abc import Iterator

import pytest
from gql import Client, GraphQLRequest, gql
from gql.transport.exceptions import TransportQueryError
from gql.transport.httpx import HTTPXAsyncTransport, HTTPXTransport
from http_server import serving

from zarn import SchemaEngine, ToolHost, sample_catalogue
from zarn.asgi import GraphQLApp
from zarn.demo import demo_handlers

pytestmark = pytest.mark.timeout(120, method="thread")

DOCUMENT = """
query Search($query: String!, $limit: Int = 1) {
  files_search(query: $query, limit: $limit)
}
query Forecast($city: String, $days: Int) {
  weather_forecast(city: $city, days: $days)
}
mutation Save($path: String!) {
  files_write_file(path: $path, text: "saved")
}
"""


@pytest.fixture(scope="module")
def url() -> Iterator[str]:
    host = ToolHost(SchemaEngine(sample_catalogue()), demo_handlers())
    with serving(GraphQLApp(host, manage=True)) as base:
        yield base + "/graphql"


@pytest.fixture
def client(url: str) -> Iterator[Client]:
    with Client(transport=HTTPXTransport(url=url, timeout=30)) as session:
        yield session


def test_queries_with_variables_and_operation_names(client: Client) -> None:
    search = GraphQLRequest(DOCUMENT, variable_values={"query": "docs"}, operation_name="Search")
    assert client.execute(search) == {"files_search": {"hits": ["docs/graphql.md"], "total": 2}}

    forecast = GraphQLRequest(DOCUMENT, variable_values={"city": "Bergen", "days": 2}, operation_name="Forecast")
    days = client.execute(forecast)["weather_forecast"]
    assert [(day["city"], day["day"]) for day in days] == [("Bergen", 1), ("Bergen", 2)]

    # $city and $days left out: their arguments are, too, and the tool's own defaults apply.
    assert client.execute(GraphQLRequest(DOCUMENT, operation_name="Forecast"))["weather_forecast"][0]["city"] == "Oslo"


def test_a_mutation_then_a_read_in_separate_requests(client: Client) -> None:
    saved = client.execute(GraphQLRequest(DOCUMENT, variable_values={"path": "new.md"}, operation_name="Save"))
    assert saved == {"files_write_file": {"bytes": 5, "created": True, "path": "new.md"}}
    read = client.execute(gql('{ files_read_file(path: "new.md") }'))
    assert read == {"files_read_file": {"path": "new.md", "text": "saved"}}


@pytest.mark.parametrize(
    ("request_", "message"),
    [
        (GraphQLRequest(DOCUMENT), "operationName is required: the document has several operations"),
        (GraphQLRequest(DOCUMENT, operation_name="Nope"), 'the document has no operation named "Nope"'),
        (
            GraphQLRequest(DOCUMENT, operation_name="Search"),
            'variable "$query" of required type "String!" was not provided',
        ),
        (gql("{ nope }"), "unknown GraphQL field: nope"),
    ],
)
def test_request_errors_reach_the_client(client: Client, request_: GraphQLRequest, message: str) -> None:
    with pytest.raises(TransportQueryError) as raised:
        client.execute(request_)
    assert raised.value.errors == [{"message": message}]


def test_a_failing_tool_is_a_value_not_an_error(client: Client) -> None:
    result = client.execute(gql('{ files_read_file(path: "missing.md") }'))
    assert result == {
        "files_read_file": {"isError": True, "json": None, "text": "FileNotFoundError: no such file: missing.md"}
    }


def test_the_async_transport_runs_requests_concurrently(url: str) -> None:
    async def run() -> list[object]:
        async with Client(transport=HTTPXAsyncTransport(url=url, timeout=30)) as session:
            requests = [
                session.execute(GraphQLRequest(DOCUMENT, variable_values={"city": f"C{i}"}, operation_name="Forecast"))
                for i in range(20)
            ]
            return list(await asyncio.gather(*requests))

    results = asyncio.run(run())
    assert [result["weather_forecast"][0]["city"] for result in results] == [f"C{i}" for i in range(20)]
