"""The gateway end to end with the public tool servers (installed in tests/servers by npm ci)."""

import json
import os
import signal
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from gateway_support import HttpServer, children, public_server
from support import in_thread
from test_gateway_faults import wait_for

from zarn import Gateway

pytestmark = pytest.mark.timeout(90, method="thread")


@pytest.fixture(scope="module")
def web() -> Iterator[HttpServer]:
    server = HttpServer(public_server("server-everything"))
    server.start()
    yield server
    server.close()


@pytest.fixture(scope="module")
def files(tmp_path_factory: pytest.TempPathFactory) -> Path:
    folder = tmp_path_factory.mktemp("files")
    (folder / "notes.txt").write_text("hello from a file\n")
    return folder


@pytest.fixture(scope="module")
def gateway(web: HttpServer, files: Path) -> Iterator[Gateway]:
    os.environ["ZARN_TEST_SECRET"] = "not for servers"
    config = {
        "mcpServers": {
            "everything": {
                "command": "node",
                "args": [public_server("server-everything"), "stdio"],
                "env": {"ZARN_TEST_GIVEN": "given"},
            },
            "files": {"command": "node", "args": [public_server("server-filesystem"), str(files)]},
            "memory": {
                "command": "node",
                "args": [public_server("server-memory")],
                "env": {"MEMORY_FILE_PATH": str(files.parent / "memory.jsonl")},
            },
            "web": {"url": web.url, "timeout": 1.5},
        }
    }
    try:
        with Gateway.from_config(config) as running:
            yield running
    finally:
        del os.environ["ZARN_TEST_SECRET"]


def data(gateway: Gateway, query: str) -> dict[str, Any]:
    document = json.loads(gateway.execute(query))
    assert document["errors"] == [], document
    return document["data"]  # type: ignore[no-any-return]


def ok(text: str, json_value: Any = None) -> dict[str, Any]:
    return {"isError": False, "json": json_value, "text": text}


def test_one_query_calls_all_servers_at_once(gateway: Gateway, files: Path) -> None:
    query = f"""{{
        everything_echo(message: "hi")
        everything_get_sum(a: 2, b: 3)
        files_read_text_file(path: "{files}/notes.txt")
        memory_search_nodes(query: "no such node")
        web_echo(message: "over HTTP")
        weather: everything_get_structured_content(location: "Chicago")
    }}"""
    assert data(gateway, query) == {
        "everything_echo": ok("Echo: hi"),
        "everything_get_sum": ok("The sum of 2 and 3 is 5."),
        "files_read_text_file": ok("hello from a file\n", {"content": "hello from a file\n"}),
        "memory_search_nodes": ok('{\n  "entities": [],\n  "relations": []\n}', {"entities": [], "relations": []}),
        "web_echo": ok("Echo: over HTTP"),
        "weather": ok(
            '{"temperature":36,"conditions":"Light rain / drizzle","humidity":82}',
            {"conditions": "Light rain / drizzle", "humidity": 82, "temperature": 36},
        ),
    }


def test_catalogue_of_the_servers(gateway: Gateway) -> None:
    tools = {spec.field: spec for spec in gateway.tools}
    assert gateway.tools[0].server == "everything"
    assert tools["files_write_file"].read_only is False and tools["files_read_text_file"].read_only is True
    assert tools["everything_echo"].description == "Echoes back the input string"
    assert tools["everything_echo"].input_schema is not None
    assert tools["everything_get_structured_content"].output_schema is not None
    assert gateway.collisions == ()
    servers = {entry["name"]: entry for entry in data(gateway, "{ servers }")["servers"]}
    assert servers["everything"]["description"] == "Everything Reference Server"
    assert servers["files"]["readOnlyCount"] == sum(spec.read_only for spec in gateway.tools if spec.server == "files")


def test_non_text_content_is_kept(gateway: Gateway) -> None:
    for value in (data(gateway, "{ everything_get_tiny_image }")["everything_get_tiny_image"],):
        assert [item["type"] for item in value["content"]] == ["text", "image", "text"]
        assert value["content"][1]["mimeType"] == "image/png" and len(value["content"][1]["data"]) > 100
        assert value["text"] == "Here's the image you requested:\nThe image above is the MCP logo."
        assert value["json"] is None and value["isError"] is False


def test_server_side_errors(gateway: Gateway) -> None:
    values = data(gateway, '{ files_read_text_file(path: "/etc/hostname") everything_echo }')
    assert values["files_read_text_file"]["isError"] is True
    assert values["files_read_text_file"]["text"].startswith("Access denied - path outside allowed directories")
    assert values["everything_echo"]["isError"] is True
    assert values["everything_echo"]["text"].startswith("MCP error -32602: Input validation error")


def test_a_write_then_a_read_on_the_memory_server(gateway: Gateway) -> None:
    entity = {"entityType": "project", "name": "zarn", "observations": ["native GraphQL"]}
    created = data(
        gateway,
        'mutation { memory_create_entities(entities: [{name: "zarn", entityType: "project", observations: ["native GraphQL"]}]) }',
    )
    assert created["memory_create_entities"]["json"] == {"entities": [entity]}
    opened = data(gateway, '{ memory_open_nodes(names: ["zarn"]) }')
    assert opened["memory_open_nodes"]["json"] == {"entities": [entity], "relations": []}


def test_servers_get_their_env_and_not_the_hosts_secrets(gateway: Gateway) -> None:
    env = data(gateway, "{ everything_get_env }")["everything_get_env"]["json"]
    assert env["ZARN_TEST_GIVEN"] == "given" and "ZARN_TEST_SECRET" not in env


def test_a_call_past_its_timeout_over_http(gateway: Gateway) -> None:
    assert data(gateway, "{ web_trigger_long_running_operation(duration: 5, steps: 5) }") == {
        "web_trigger_long_running_operation": {
            "isError": True,
            "json": None,
            "text": "tool server web timed out after 1.5 s while calling trigger-long-running-operation",
        }
    }


def test_an_http_server_restarted_gets_a_new_session(gateway: Gateway, web: HttpServer) -> None:
    web.stop()
    down = data(gateway, '{ web_echo(message: "down") }')["web_echo"]
    assert down["isError"] and down["text"].startswith(f"tool server web could not be reached at {web.url}: ")
    web.start()
    assert data(gateway, '{ web_echo(message: "back") }')["web_echo"] == ok("Echo: back")
    assert gateway.status()["web"].restarts == 1


def test_a_server_killed_mid_call_is_restarted_on_the_next_call(gateway: Gateway) -> None:
    running = in_thread(
        lambda: gateway.execute("{ everything_trigger_long_running_operation(duration: 20, steps: 2) }")
    )
    wait_for(lambda: gateway.status()["everything"].in_flight == 1)
    pid = gateway.status()["everything"].pid
    assert pid is not None
    os.kill(pid, signal.SIGKILL)
    assert json.loads(running.result(30))["data"]["everything_trigger_long_running_operation"] == {
        "isError": True,
        "json": None,
        "text": "tool server everything was killed by signal SIGKILL while calling trigger-long-running-operation",
    }
    assert data(gateway, '{ everything_echo(message: "again") }')["everything_echo"] == ok("Echo: again")
    status = gateway.status()["everything"]
    assert status.restarts == 1 and status.pid not in (None, pid)


def test_shutdown_with_calls_in_flight(gateway: Gateway, web: HttpServer) -> None:
    # Last in the module: it closes the shared gateway.
    running = in_thread(
        lambda: gateway.execute(
            "{ a: everything_trigger_long_running_operation(duration: 20, steps: 2) b: web_trigger_long_running_operation(duration: 20, steps: 2) }"
        )
    )
    wait_for(lambda: gateway.status()["everything"].in_flight == 1 and gateway.status()["web"].in_flight == 1)
    gateway.close()
    detached = {"isError": True, "json": None, "text": "CallBridge is detached"}
    assert json.loads(running.result(30))["data"] == {"a": detached, "b": detached}
    assert "Received session termination request for session" in web.log()
    assert children() == {web.pid}
