import io
import json
import subprocess
import sys
from pathlib import Path

import pytest

from zarn import SchemaEngine, ToolHost, sample_catalogue
from zarn.__main__ import main
from zarn.demo import demo_handlers

# The demo runs a host whose executions block in native code.
pytestmark = pytest.mark.timeout(120, method="thread")

TYPENAME = '{"data":{"__typename":"Query"},"errors":[]}\n'


class TtyInput(io.StringIO):
    def isatty(self) -> bool:
        return True


def run(
    capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch, argv: list[str], stdin: str | None = None
) -> tuple[int, str, str]:
    monkeypatch.setattr(sys, "stdin", TtyInput() if stdin is None else io.StringIO(stdin))
    code = main(argv)
    out, err = capsys.readouterr()
    return code, out, err


def error_document(message: str) -> str:
    return json.dumps({"data": None, "errors": [{"message": message}]}, separators=(",", ":")) + "\n"


@pytest.mark.parametrize(
    ("argv", "stdin", "code", "out", "err"),
    [
        (["{ __typename }"], None, 0, TYPENAME, ""),
        ([], "{ __typename }", 0, TYPENAME, ""),
        (["-"], "query { __typename }\n", 0, TYPENAME, ""),
        (["--variables", '{"a": 1}', "{ __typename }"], None, 0, TYPENAME, ""),
        (["--variables", " null ", "{ __typename }"], None, 0, TYPENAME, ""),
        (
            ["{ nope }"],
            None,
            1,
            error_document("unknown GraphQL field: nope"),
            "python -m zarn: unknown GraphQL field: nope\n",
        ),
        (
            [],
            " \n",
            1,
            error_document("GraphQL query must not be blank"),
            "python -m zarn: GraphQL query must not be blank\n",
        ),
        (
            ["--variables", "[1]", "{ __typename }"],
            None,
            1,
            error_document("variables_json must decode to a JSON object"),
            "python -m zarn: variables_json must decode to a JSON object\n",
        ),
    ],
)
def test_exit_status_and_output(
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    argv: list[str],
    stdin: str | None,
    code: int,
    out: str,
    err: str,
) -> None:
    assert run(capsys, monkeypatch, argv, stdin) == (code, out, err)


def write(tmp_path: Path, name: str, content: bytes) -> str:
    path = tmp_path / name
    path.write_bytes(content)
    return str(path)


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--bogus", "{ a }"], "unrecognized arguments: --bogus"),
        (["{ a }", "{ b }"], "unrecognized arguments: { b }"),
        (["--variables"], "argument --variables: expected one argument"),
        ([], "no query: give it as an argument or on standard input"),
        (["-c", "{tmp}/missing.json", "{ a }"], "cannot read catalogue '{tmp}/missing.json': [Errno 2] No such file"),
        (["-c", "{tmp}/bad.json", "{ a }"], "invalid catalogue JSON: EOF while parsing an object at line 1 column 1"),
        (["-c", "{tmp}/latin1.json", "{ a }"], "cannot read catalogue '{tmp}/latin1.json': 'utf-8' codec can't decode"),
    ],
)
def test_bad_usage_exits_2(
    capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch, tmp_path: Path, argv: list[str], message: str
) -> None:
    write(tmp_path, "bad.json", b"{")
    write(tmp_path, "latin1.json", b'{"server": "caf\xe9"}')
    argv = [arg.replace("{tmp}", str(tmp_path)) for arg in argv]
    code, out, err = run(capsys, monkeypatch, argv)
    assert (code, out) == (2, "")
    assert err.startswith("usage: python -m zarn ")
    assert f"python -m zarn: error: {message.replace('{tmp}', str(tmp_path))}" in err


def test_catalogue_file_and_placeholders(
    capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch, tmp_path: Path
) -> None:
    catalogue = write(tmp_path, "c.json", '[{"server": "café", "tools": [{"name": "look up"}]}]'.encode())
    code, out, err = run(capsys, monkeypatch, ["--catalogue", catalogue, "{ caf__look_up servers { name } }"])
    assert (code, err) == (0, "")
    assert json.loads(out)["data"] == {
        "caf__look_up": {
            "isError": True,
            "json": None,
            "text": "SchemaEngine stub resolved café.look up but CallBridge is not wired yet",
        },
        "servers": [{"description": "", "name": "café", "readOnlyCount": 1, "toolCount": 1}],
    }


def test_pretty_indents_the_same_document(capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch) -> None:
    query = "{ servers { name } }"
    _, compact, _ = run(capsys, monkeypatch, [query])
    code, pretty, _ = run(capsys, monkeypatch, ["--pretty", query])
    assert code == 0
    assert pretty == json.dumps(json.loads(compact), indent=2) + "\n"
    assert pretty.startswith('{\n  "data": {\n    "servers": [\n      {\n        "description": ')


DEMO_QUERY = """query Demo($city: String) {
  hits: files_search(query: "graphql")
  readme: files_read_file(path: "README.md")
  missing: files_read_file(path: "nope.md")
  written: files_write_file(path: "new.md", text: "héllo")
  weather_forecast(city: $city, days: 2)
  tracker_create_issue(title: "Ship it")
}"""


def test_demo_answers_the_sample_tools(capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch) -> None:
    code, out, err = run(capsys, monkeypatch, ["--demo", "--variables", '{"city": "Oslo"}'], DEMO_QUERY)
    assert code == 0
    assert err == "python -m zarn: zarn.host: tool files.read-file failed (tool-call-3)\n"
    doc = json.loads(out)["data"]
    assert doc["hits"] == {"hits": ["docs/graphql.md"], "total": 1}
    assert doc["readme"]["path"] == "README.md" and doc["readme"]["text"].startswith("# Demo project")
    assert doc["missing"] == {"isError": True, "json": None, "text": "FileNotFoundError: no such file: nope.md"}
    assert doc["written"] == {"bytes": 6, "created": True, "path": "new.md"}
    assert [(d["city"], d["day"]) for d in doc["weather_forecast"]] == [("Oslo", 1), ("Oslo", 2)]
    assert doc["tracker_create_issue"] == {"body": "", "id": 2, "title": "Ship it"}


@pytest.mark.parametrize("stdin", ["", " \n", None])  # empty, blank, and a terminal
def test_demo_without_a_query_runs_the_demonstration(
    capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch, stdin: str | None
) -> None:
    code, out, _ = run(capsys, monkeypatch, ["--demo"], stdin)
    doc = json.loads(out)["data"]
    assert code == 0
    assert [server["name"] for server in doc["servers"]] == ["files", "tracker", "weather"]
    assert len(doc["search"]) == 6
    tools = [key for key in doc if key not in ("servers", "search")]
    assert len(tools) >= 4 and all(doc[key] is not None for key in tools)
    assert any(value.get("isError") is True for value in doc.values() if isinstance(value, dict))


def test_demo_handlers_cover_the_sample_catalogue() -> None:
    assert ToolHost(SchemaEngine(sample_catalogue()), demo_handlers()).unhandled_tools() == []


def test_python_dash_m_entry_point() -> None:
    ok = subprocess.run(
        [sys.executable, "-m", "zarn", "--demo", '{ files_search(query: "todo", limit: 1) }'],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert (ok.returncode, ok.stdout, ok.stderr) == (
        0,
        '{"data":{"files_search":{"hits":["notes/todo.md"],"total":1}},"errors":[]}\n',
        "",
    )
    failed = subprocess.run(
        [sys.executable, "-m", "zarn"], input="{ __schema }", capture_output=True, text=True, timeout=60, check=False
    )
    assert (failed.returncode, failed.stderr) == (1, "python -m zarn: unknown GraphQL field: __schema\n")


def test_sdl(capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch) -> None:
    from zarn.demo import demo_input_schemas
    from zarn.schema import schema_sdl

    code, out, err = run(capsys, monkeypatch, ["--demo", "--sdl"])
    assert (code, err) == (0, "")
    assert out == schema_sdl(SchemaEngine(sample_catalogue()), input_schemas=demo_input_schemas()) + "\n"
    assert "  files_read_file(path: String!): JSON\n" in out
    # Without the sample handlers the tools' arguments are not known.
    assert "  files_read_file: JSON\n" in run(capsys, monkeypatch, ["--sdl"])[1]
    code, out, err = run(capsys, monkeypatch, ["--sdl", "{ servers }"])
    assert (code, out) == (2, "")
    assert "--sdl prints the schema: it takes no query, --variables or --list" in err
