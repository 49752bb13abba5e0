"""The gateway's pure parts: configuration, catalogue assembly, result shaping, backoff."""

import json
from pathlib import Path
from typing import Any

import pytest
from support import attached, in_thread, take_request

from zarn import SchemaEngine
from zarn.gateway import ConfigError, HttpServerConfig, StdioServerConfig, read_config
from zarn.gateway.catalogue import ListedServer, assemble, find_collisions, tool_specs
from zarn.gateway.results import error_value, field_value
from zarn.gateway.server import restart_delay


def test_config_reads_both_layouts_and_every_key(tmp_path: Path) -> None:
    path = tmp_path / "servers.json"
    path.write_text(
        json.dumps(
            {
                "mcpServers": {
                    "files": {"command": "npx", "args": ["-y", "fs"], "env": {"A": "1"}, "cwd": "/srv", "timeout": 5},
                    "search": {"url": "http://127.0.0.1:1/mcp", "headers": {"Authorization": "Bearer x"}},
                    "old": {"command": "x", "disabled": True},
                }
            }
        )
    )
    assert read_config(path) == {
        "files": StdioServerConfig("npx", ("-y", "fs"), {"A": "1"}, "/srv", 5.0),
        "search": HttpServerConfig("http://127.0.0.1:1/mcp", {"Authorization": "Bearer x"}, 60.0),
    }
    assert read_config({"servers": {"s": {"type": "http", "url": "https://h/mcp"}}}) == {
        "s": HttpServerConfig("https://h/mcp")
    }


@pytest.mark.parametrize(
    ("document", "message"),
    [
        ({"mcp": {}}, 'server configuration has no "mcpServers" or "servers" object'),
        ({"servers": {"s": {}}}, 'tool server \'s\': the entry has neither "command" nor "url"'),
        (
            {"servers": {"s": {"command": "a", "url": "http://h"}}},
            'tool server \'s\': give either "command" or "url", not both',
        ),
        ({"servers": {"s": {"command": ""}}}, "tool server 's': \"command\" must be a non-empty string"),
        ({"servers": {"s": {"command": "a", "args": "b"}}}, "tool server 's': \"args\" must be a list of strings"),
        (
            {"servers": {"s": {"command": "a", "env": {"A": 1}}}},
            "tool server 's': \"env\" must be an object of strings",
        ),
        (
            {"servers": {"s": {"url": "ftp://h"}}},
            "tool server 's': \"url\" must be an http:// or https:// URL, not 'ftp://h'",
        ),
        (
            {"servers": {"s": {"type": "sse", "url": "http://h"}}},
            "tool server 's': transport 'sse' is not supported (use \"stdio\" or \"http\")",
        ),
        (
            {"servers": {"s": {"type": "http", "command": "a"}}},
            "tool server 's': transport 'http' needs \"url\", not \"command\"",
        ),
        (
            {"servers": {"s": {"command": "a", "timeout": 0}}},
            "tool server 's': \"timeout\" must be a positive number of seconds, not 0",
        ),
        (
            {"servers": {"s": {"command": "a", "timeout": True}}},
            "tool server 's': \"timeout\" must be a positive number of seconds, not True",
        ),
        ({"servers": {"s": 1}}, "tool server 's': its entry must be a JSON object"),
        (
            {"servers": {" s": {"command": "a"}}},
            "tool server ' s': a server name must not begin or end with white space",
        ),
        ({"servers": {"": {"command": "a"}}}, "server name '' is blank"),
    ],
)
def test_config_errors_name_the_entry(document: Any, message: str) -> None:
    with pytest.raises(ConfigError) as caught:
        read_config(document)
    assert str(caught.value) == message


def test_config_file_errors(tmp_path: Path) -> None:
    path = tmp_path / "servers.json"
    path.write_text("{not json")
    with pytest.raises(ConfigError, match=r"^server configuration '.*servers\.json' is not JSON: Expecting"):
        read_config(path)
    path.write_text("[]")
    with pytest.raises(ConfigError, match='must be a JSON object with a "mcpServers"'):
        read_config(path)
    with pytest.raises(ConfigError, match=r"^cannot read server configuration '.*missing\.json'"):
        read_config(tmp_path / "missing.json")


TEXT = {"type": "text", "text": "hello"}
IMAGE = {"type": "image", "data": "iVBORw0K", "mimeType": "image/png"}


@pytest.mark.parametrize(
    ("result", "value"),
    [
        ({"content": [TEXT]}, {"isError": False, "json": None, "text": "hello"}),
        (
            {"content": [{"type": "text", "text": ' {"a": [1, 2.5]} '}]},
            {"isError": False, "json": {"a": [1, 2.5]}, "text": ' {"a": [1, 2.5]} '},
        ),
        ({"content": [{"type": "text", "text": "NaN"}]}, {"isError": False, "json": None, "text": "NaN"}),
        ({"content": [{"type": "text", "text": "[1,"}]}, {"isError": False, "json": None, "text": "[1,"}),
        (
            {"content": [{"type": "text", "text": "1"}, {"type": "text", "text": "2"}]},
            {"isError": False, "json": None, "text": "1\n2"},
        ),
        ({"content": [TEXT], "structuredContent": {"n": 1}}, {"isError": False, "json": {"n": 1}, "text": "hello"}),
        ({"content": [TEXT], "structuredContent": None}, {"isError": False, "json": None, "text": "hello"}),
        ({"content": [TEXT], "isError": True}, {"isError": True, "json": None, "text": "hello"}),
        ({"content": [TEXT, IMAGE]}, {"isError": False, "json": None, "text": "hello", "content": [TEXT, IMAGE]}),
        ({"content": [IMAGE, 5]}, {"isError": False, "json": None, "text": "", "content": [IMAGE, 5]}),
        ({}, {"isError": False, "json": None, "text": ""}),
        ({"content": [{"type": "text", "text": "\ud800"}]}, {"isError": False, "json": None, "text": "\ufffd"}),
        (
            {"content": [{"type": "text", "text": '["\\ud800", "\\u00e9"]'}]},
            {"isError": False, "json": ["\ufffd", "é"], "text": '["\\ud800", "\\u00e9"]'},
        ),
    ],
)
def test_field_value_shapes(result: Any, value: Any) -> None:
    # Through the engine, which reads the text as the host hands it over.
    engine = SchemaEngine('[{"server": "s", "tools": [{"name": "t"}]}]')
    with attached(engine):
        document = in_thread(lambda: engine.execute("{ s_t }"))
        assert engine.respond_tool_call(take_request(engine)["request_id"], field_value(result))
        assert json.loads(document.result(10))["data"]["s_t"] == value


@pytest.mark.parametrize("result", [None, [], "text", {"content": [], "structuredContent": {"x": float("nan")}}])
def test_field_value_refuses_what_cannot_be_passed_on(result: Any) -> None:
    with pytest.raises(ValueError, match="not a JSON object|Out of range float"):
        field_value(result)


def test_error_value_is_the_engines_tool_error_object() -> None:
    assert (
        error_value('tool server s "x" exited') == '{"isError":true,"json":null,"text":"tool server s \\"x\\" exited"}'
    )


def test_catalogue_assembly() -> None:
    servers = [
        ListedServer(
            "files",
            "File Server",
            [
                {
                    "name": "read",
                    "title": "Read a file",
                    "annotations": {"readOnlyHint": True},
                    "inputSchema": {"type": "object"},
                },
                {"name": "write", "description": "Write a file", "outputSchema": {"type": "object"}},
                {"name": " spaced ", "annotations": {"title": "Spaced"}},
                {"name": "read-me"},
                {"name": "read_me", "annotations": {"readOnlyHint": "yes"}},
                {"description": "no name"},
                "not an object",
            ],
        ),
        ListedServer("_", None, [{"name": "typename"}]),
        ListedServer("skipped", None, []),
    ]
    text, tools = assemble(servers)
    assert json.loads(text) == [
        {
            "server": "files",
            "serverDescription": "File Server",
            "tools": [
                {"name": "read", "description": "Read a file", "readOnly": True},
                {"name": "write", "description": "Write a file", "readOnly": False},
                {"name": " spaced ", "description": "Spaced", "readOnly": False},
                {"name": "read-me", "description": "", "readOnly": False},
                {"name": "read_me", "description": "", "readOnly": False},
            ],
        },
        {"server": "_", "tools": [{"name": "typename", "description": "", "readOnly": False}]},
        {"server": "skipped", "tools": []},
    ]
    specs = tool_specs(SchemaEngine(text), tools)
    assert [(s.server, s.name, s.field, s.read_only) for s in specs] == [
        ("files", "read", "files_read", True),
        ("files", "write", "files_write", False),
        ("files", " spaced ", "files_spaced", False),
        ("files", "read-me", "files_read_me", False),
        ("files", "read_me", "files_read_me", False),
        ("_", "typename", "__typename", False),
    ]
    assert specs[0].input_schema == {"type": "object"} and specs[1].output_schema == {"type": "object"}
    assert [str(c) for c in find_collisions(specs)] == [
        "field files_read_me: tool read_me of server files collides with tool read-me of server files, which answers it",
        "field __typename: tool typename of server _ is shadowed by the built-in field __typename",
    ]


def test_restart_delays_grow_to_a_minute() -> None:
    assert [restart_delay(n) for n in range(1, 10)] == [0, 2, 4, 8, 16, 32, 60, 60, 60]
