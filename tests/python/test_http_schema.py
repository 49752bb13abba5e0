"""GraphQL tooling against a served gateway of the public tool servers: gql fetches the schema by
introspection and validates queries against it; the CLI prints the same schema."""

import json
from collections.abc import Iterator
from pathlib import Path

import pytest
from gateway_support import public_server
from gql import Client, gql
from gql.transport.exceptions import TransportQueryError
from gql.transport.httpx import HTTPXTransport
from graphql import GraphQLError, build_client_schema, get_introspection_query, print_schema
from http_server import serving

from zarn import Gateway
from zarn.__main__ import main
from zarn.asgi import GraphQLApp

pytestmark = pytest.mark.timeout(90, method="thread")


@pytest.fixture(scope="module")
def config(tmp_path_factory: pytest.TempPathFactory) -> Path:
    folder = tmp_path_factory.mktemp("schema")
    servers = {
        "everything": {"command": "node", "args": [public_server("server-everything"), "stdio"]},
        "memory": {
            "command": "node",
            "args": [public_server("server-memory")],
            "env": {"MEMORY_FILE_PATH": str(folder / "memory.jsonl")},
        },
    }
    path = folder / "servers.json"
    path.write_text(json.dumps({"mcpServers": servers}))
    return path


@pytest.fixture(scope="module")
def served(config: Path) -> Iterator[tuple[Gateway, str]]:
    gateway = Gateway.from_config(config)
    with serving(GraphQLApp(gateway, manage=True)) as base:
        yield gateway, base + "/graphql"


def test_gql_validates_against_the_fetched_schema(served: tuple[Gateway, str]) -> None:
    gateway, url = served
    sdl = gateway.schema_sdl()
    assert "  everything_get_sum(\n" in sdl and "    a: Float!\n" in sdl and "  memory_read_graph: JSON\n" in sdl
    with Client(transport=HTTPXTransport(url=url, timeout=30), fetch_schema_from_transport=True) as session:
        sum_query = gql("query Sum($a: Float!) { everything_get_sum(a: $a, b: 3) memory_read_graph }")
        sum_query.variable_values = {"a": 2}
        result = session.execute(sum_query)
        assert result["everything_get_sum"]["text"] == "The sum of 2 and 3 is 5."
        assert result["memory_read_graph"]["json"] == {"entities": [], "relations": []}
        assert session.client.schema is not None and print_schema(session.client.schema) == sdl
        # Refused by gql itself, against the schema (the engine would pass the string on to the tool).
        with pytest.raises(GraphQLError, match='Float cannot represent non numeric value: "two"'):
            session.execute(gql('{ everything_get_sum(a: "two", b: 3) }'))
        with pytest.raises(GraphQLError, match="Cannot query field 'everything_nope' on type 'Query'"):
            session.execute(gql("{ everything_nope }"))
        # Introspection and tool fields do not mix in one operation; the server says so.
        with pytest.raises(TransportQueryError, match="cannot select tool fields \\(memory_read_graph\\)"):
            session.execute(gql("{ __schema { queryType { name } } memory_read_graph }"))


def test_client_schema_and_cli_give_back_the_sdl(
    served: tuple[Gateway, str], config: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    gateway, url = served
    with Client(transport=HTTPXTransport(url=url, timeout=30)) as session:
        result = session.execute(gql(get_introspection_query(descriptions=True)))
    assert print_schema(build_client_schema(result)) == gateway.schema_sdl()  # type: ignore[arg-type]
    assert main(["--servers", str(config), "--sdl"]) == 0
    assert capsys.readouterr().out == gateway.schema_sdl() + "\n"
