"""python -m zarn --servers FILE: a query or the field list against configured servers."""

import json
from pathlib import Path
from typing import Any

import pytest
from gateway_support import children, fault

from zarn.__main__ import main

pytestmark = pytest.mark.timeout(60, method="thread")


def run(capsys: pytest.CaptureFixture[str], tmp_path: Path, config: Any, *argv: str) -> tuple[int, str, str]:
    path = tmp_path / "servers.json"
    path.write_text(config if isinstance(config, str) else json.dumps(config))
    before = children()
    code = main(["--servers", str(path), *argv])
    assert children() == before
    out, err = capsys.readouterr()
    return code, out, err


def test_list_prints_fields_then_collisions(capsys: pytest.CaptureFixture[str], tmp_path: Path) -> None:
    code, out, err = run(capsys, tmp_path, {"mcpServers": {"a-b": fault(), "a_b": fault()}}, "--list")
    lines = out.splitlines()
    assert (code, len(lines)) == (0, 36)
    # the same collisions are warned about on standard error as well
    assert err.splitlines() == [f"python -m zarn: zarn.gateway.core: {line[11:]}" for line in lines[24:]]
    assert lines[:2] == ["a_b_echo\ta-b\techo\tread-only", "a_b_noise\ta-b\tnoise\tnot read-only"]
    assert lines[12] == "a_b_echo\ta_b\techo\tread-only"
    assert (
        lines[24]
        == "collision: field a_b_echo: tool echo of server a_b collides with tool echo of server a-b, which answers it"
    )


def test_a_query_against_the_servers(capsys: pytest.CaptureFixture[str], tmp_path: Path) -> None:
    config = {"servers": {"f": fault()}}
    code, out, err = run(capsys, tmp_path, config, "--variables", '{"v": 2}', "query($v: Int) { f_echo(v: $v) }")
    assert (code, err) == (0, "")
    assert out == '{"data":{"f_echo":{"isError":false,"json":{"v":2},"text":"{\\"v\\": 2}"}},"errors":[]}\n'
    assert run(capsys, tmp_path, config, "{ nope }")[0] == 1


@pytest.mark.parametrize(
    ("config", "message"),
    [
        (
            "{",
            "server configuration '{path}' is not JSON: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)",
        ),
        ({"mcpServers": {"files": {"args": []}}}, 'tool server \'files\': the entry has neither "command" nor "url"'),
        (
            {"mcpServers": {"files": {"command": "no-such-command-here"}}},
            "tool server files could not be started: command 'no-such-command-here' was not found",
        ),
        (
            {"mcpServers": {"web": {"url": "http://127.0.0.1:9/mcp"}}},
            "tool server web could not be reached at http://127.0.0.1:9/mcp: All connection attempts failed (Connection refused)",
        ),
        (
            {"mcpServers": {"ok": fault(), "bad": fault("--exit-at-once", "7")}},
            "tool server bad exited with status 7; its standard error ends:\n    fault server: exiting at once as asked",
        ),
    ],
)
def test_a_configuration_that_cannot_be_used_exits_2(
    capsys: pytest.CaptureFixture[str], tmp_path: Path, config: Any, message: str
) -> None:
    code, out, err = run(capsys, tmp_path, config, "--list")
    assert (code, out) == (2, "")
    assert err == f"python -m zarn: {message.format(path=tmp_path / 'servers.json')}\n"


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--list"], "--list needs --servers"),
        (["--demo", "--servers", "x"], "--servers cannot be combined with --catalogue or --demo"),
    ],
)
def test_option_misuse(capsys: pytest.CaptureFixture[str], argv: list[str], message: str) -> None:
    assert main(argv) == 2
    assert capsys.readouterr().err.endswith(f"python -m zarn: error: {message}\n")
