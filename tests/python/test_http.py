"""GraphQLApp behind a real uvicorn, driven by raw HTTP: status codes, media types, limits, bad input."""

import json
import logging
import socket
import time
from collections.abc import Iterator
from typing import Any

import httpx
import pytest
from http_server import CATALOGUE, Recorder, serving

from zarn import SchemaEngine, ToolHost
from zarn.asgi import GraphQLApp, OperationRequest

pytestmark = pytest.mark.timeout(120, method="thread")

JSON = "application/json"
GQL = "application/graphql-response+json"
READ = '{ files_read(path: "a") }'


@pytest.fixture(scope="module")
def recorder() -> Recorder:
    return Recorder()


@pytest.fixture(scope="module")
def url(recorder: Recorder) -> Iterator[str]:
    host = ToolHost(SchemaEngine(CATALOGUE), recorder.handlers())
    with serving(GraphQLApp(host, manage=True)) as base:
        yield base + "/graphql"


@pytest.fixture(scope="module")
def tight_url() -> Iterator[str]:
    app = GraphQLApp(
        SchemaEngine(CATALOGUE),
        max_body_bytes=1000,
        max_query_length=200,
        max_fields=2,
        body_timeout=1.0,
        allowed_hosts=["127.0.0.1", "LocalHost", "::1"],
    )
    with serving(app) as base:
        yield base + "/graphql"


@pytest.fixture
def client() -> Iterator[httpx.Client]:
    with httpx.Client(timeout=30) as session:
        yield session


def post(client: httpx.Client, url: str, body: Any, **headers: str) -> httpx.Response:
    content = body if isinstance(body, bytes) else json.dumps(body).encode()
    return client.post(url, content=content, headers={"content-type": JSON, **headers})


def errors(response: httpx.Response) -> list[str]:
    document = response.json()
    assert "data" not in document, document
    return [entry["message"] for entry in document["errors"]]


def still_serving(client: httpx.Client, url: str) -> None:
    """A bad request leaves the server (and the connection, when it is kept) working."""
    response = post(client, url, {"query": "{ __typename }"})
    assert (response.status_code, response.json()) == (200, {"data": {"__typename": "Query"}})


# -- results and media types ----------------------------------------------------


def test_post_runs_the_query_and_answers_without_an_empty_errors_list(
    client: httpx.Client, url: str, recorder: Recorder
) -> None:
    recorder.take()
    response = post(client, url, {"query": 'query { r: files_read(path: "x") servers { name } }'})
    assert response.status_code == 200
    assert response.headers["content-type"] == "application/json; charset=utf-8"
    document = response.json()
    assert document["data"]["r"] == {"tool": "read", "args": {"path": "x"}}
    assert [entry["name"] for entry in document["data"]["servers"]] == ["files"]
    assert "errors" not in document
    assert recorder.take() == [("read", {"path": "x"})]


@pytest.mark.parametrize(
    ("accept", "media"),
    [
        (None, JSON),
        ("*/*", JSON),
        ("application/*", JSON),
        (JSON, JSON),
        (GQL, GQL),
        (f"{GQL}, {JSON};q=0.9", GQL),
        (f"{JSON}, {GQL}", GQL),
        (f"{JSON};q=0.5, */*;q=0.1", JSON),
        (f"{GQL};q=0.2, {JSON};q=0.8", JSON),
        ("text/html, */*;q=0.8", JSON),
        (f"{JSON}; charset=utf-8", JSON),
        ("text/html", None),
        (f"{JSON};q=0", None),
        (f"{JSON}; charset=latin-1", None),
    ],
)
def test_accept_chooses_the_media_type(client: httpx.Client, url: str, accept: str | None, media: str | None) -> None:
    headers = {"accept": accept} if accept is not None else {}
    request = client.build_request("POST", url, json={"query": "{ __typename }"}, headers=headers)
    if accept is None:
        del request.headers["accept"]
    response = client.send(request)
    if media is None:
        assert response.status_code == 406
        assert errors(response) == ["Accept allows neither application/graphql-response+json nor application/json"]
    else:
        assert response.status_code == 200
        assert response.headers["content-type"] == f"{media}; charset=utf-8"
    still_serving(client, url)


def spreads_twice(levels: int, spread: str, leaf: str) -> str:
    """Fragments that each spread the next one twice: a short document whose plain expansion doubles per level."""
    chain = " ".join(f"fragment F{i} on Query {{ {spread.format(i + 1)} }}" for i in range(levels))
    return f"{chain} fragment F{levels} on Query {{ {leaf} }}"


REQUEST_ERRORS = [
    ({"query": "{ nope }"}, "unknown GraphQL field: nope"),
    ({"query": "{ files_read("}, "Syntax Error: Expected Name, found <EOF>."),
    ({"query": "query A { __typename } query B { servers }"}, "operationName is required: the document has several operations"),
    ({"query": "query A { __typename }", "operationName": "B"}, 'the document has no operation named "B"'),
    ({"query": "query ($p: String!) { files_read(path: $p) }"}, 'variable "$p" of required type "String!" was not provided'),
    ({"query": "query ($p: String!) { files_read(path: $p) }", "variables": {"p": None}}, 'variable "$p" of non-null type "String!" must not be null'),
    ({"query": "{ files_read(path: $p) }", "variables": {"p": "x"}}, 'variable "$p" is not defined'),
    ({"query": "{ ...F }"}, 'unknown fragment "F"'),
    ({"query": "{ ...F } fragment F on Query { ...F }"}, 'cannot spread fragment "F" within itself'),
    ({"query": "{ a: files_read(path: 1) a: files_read(path: 2) }"}, 'fields "a" conflict because they have differing arguments'),
    ({"query": "{ files_read(p: 1, p: 2) }"}, 'there can be only one argument named "p"'),
    ({"query": "subscription { __typename }"}, "subscriptions are not supported over HTTP"),
    ({"query": "query ($s: Boolean) { __typename @skip(if: $s) }"}, 'variable "$s" of @skip(if:) must be a Boolean, not null'),
    ({"query": "type Query { a: Int }"}, "a request holds operations and fragments only"),
    ({"query": "{\n  files_read(n: 1e400) }"}, "invalid GraphQL number literal: number out of range"),
    ({"query": "query ($a: Boolean = true, $b: Boolean = true) { ...F0 } " + spreads_twice(20, "...F{0} @include(if: $a) ...F{0} @include(if: $b)", "__typename")},
     "the operation expands to more than 100000 selections"),
]  # fmt: skip


@pytest.mark.parametrize(("body", "message"), REQUEST_ERRORS)
@pytest.mark.parametrize(("accept", "status"), [(JSON, 200), (GQL, 400)])
def test_a_request_error_is_200_under_json_and_400_under_graphql_response_json(
    client: httpx.Client, url: str, recorder: Recorder, body: Any, message: str, accept: str, status: int
) -> None:
    recorder.take()
    response = post(client, url, body, accept=accept)
    assert (response.status_code, errors(response)) == (status, [message])
    assert response.headers["content-type"] == f"{accept}; charset=utf-8"
    assert recorder.take() == []  # nothing ran


def test_a_parse_error_carries_its_location(client: httpx.Client, url: str) -> None:
    response = post(client, url, {"query": "{\n  files_read(\n  }"})
    assert response.json()["errors"][0]["locations"] == [{"line": 3, "column": 3}]


# -- what a GraphQL client relies on --------------------------------------------


@pytest.mark.parametrize(
    ("body", "data", "calls"),
    [
        (
            {"query": 'query A { files_read(path: "a") } query B { files_read(path: "b") }', "operationName": "B"},
            {"files_read": {"tool": "read", "args": {"path": "b"}}},
            [("read", {"path": "b"})],
        ),
        (
            {"query": 'query ($s: Boolean!) { __typename files_write(path: "x") @skip(if: $s) }', "variables": {"s": True}},
            {"__typename": "Query"},
            [],
        ),
        (
            {"query": 'query ($s: Boolean = false) { w: files_write(path: "x") @include(if: $s) r: files_read @include(if: true) }'},
            {"r": {"tool": "read", "args": {}}},
            [("read", {})],
        ),
        (
            {"query": "query ($p: String = \"dflt\", $n: Int, $o: Int) { files_read(path: $p, n: $n, o: $o, l: [$n], in: {n: $n}) }", "variables": {"o": 7}},
            {"files_read": {"tool": "read", "args": {"path": "dflt", "o": 7, "l": [None], "in": {}}}},
            [("read", {"path": "dflt", "o": 7, "l": [None], "in": {}})],
        ),
        (
            {"query": "{ ...F ... on Query { b: files_read(path: \"\"\"block\n  text\"\"\") } } fragment F on Query { a: files_read(path: \"a\") }"},
            {"a": {"tool": "read", "args": {"path": "a"}}, "b": {"tool": "read", "args": {"path": "block\ntext"}}},
            [("read", {"path": "a"}), ("read", {"path": "block\ntext"})],
        ),
        (
            {"query": 'query ($x: Boolean!) { a: files_read(path: "1") @skip(if: $x) ... @include(if: $x) { a: files_read(path: "1") } }', "variables": {"x": True}},
            {"a": {"tool": "read", "args": {"path": "1"}}},
            [("read", {"path": "1"})],
        ),
        ({"query": "{ __typename @skip(if: true) }"}, {}, []),
        (
            {"query": "{ ...F0 } " + spreads_twice(40, "...F{0} ...F{0}", 'files_read(path: "x", n: 1) files_read(n: 1, path: "x")')},
            {"files_read": {"tool": "read", "args": {"path": "x", "n": 1}}},
            [("read", {"path": "x", "n": 1})],
        ),
    ],
)  # fmt: skip
def test_graphql_behaviours_are_settled_before_the_engine(
    client: httpx.Client, url: str, recorder: Recorder, body: Any, data: Any, calls: list[Any]
) -> None:
    recorder.take()
    response = post(client, url, body)
    assert (response.status_code, response.json()) == (200, {"data": data})
    assert sorted(recorder.take(), key=repr) == calls


def test_a_long_new_query_is_parsed_off_the_loop_and_cached(client: httpx.Client, url: str) -> None:
    query = "{ " + " ".join(f"f{i}: __typename" for i in range(100)) + " # " + "x" * 2000 + "\n}"
    for _ in range(2):
        response = post(client, url, {"query": query})
        assert response.json() == {"data": {f"f{i}": "Query" for i in range(100)}}


def test_get_runs_read_only_queries_with_json_parameters(client: httpx.Client, url: str) -> None:
    params = {"query": "query Q($p: String) { files_read(path: $p) }", "variables": '{"p": "é"}', "operationName": "Q"}
    response = client.get(url, params=params)
    assert response.status_code == 200
    assert response.json() == {"data": {"files_read": {"tool": "read", "args": {"path": "é"}}}}


@pytest.mark.parametrize(
    ("query", "message"),
    [
        ("mutation { __typename }", "GET cannot run a mutation: use POST"),
        ('{ files_read(path: "a") files_write(path: "b") }', 'GET cannot run "files_write", a tool that is not read-only: use POST'),
    ],
)  # fmt: skip
def test_get_runs_no_mutation_and_no_write_tool(
    client: httpx.Client, url: str, recorder: Recorder, query: str, message: str
) -> None:
    recorder.take()
    response = client.get(url, params={"query": query})
    assert (response.status_code, response.headers["allow"], errors(response)) == (405, "POST", [message])
    assert recorder.take() == []
    skipped = client.get(url, params={"query": '{ files_read(path: "a") files_write @skip(if: true) }'})
    assert skipped.status_code == 200


def test_mutations_run_over_post(client: httpx.Client, url: str) -> None:
    response = post(client, url, {"query": 'mutation { files_write(path: "w") }'})
    assert response.json() == {"data": {"files_write": {"tool": "write", "args": {"path": "w"}}}}


# -- bad requests --------------------------------------------------------------


@pytest.mark.parametrize(
    ("content", "message"),
    [
        (b"{", "the request body is not valid JSON: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)"),
        (b"", "the request body is not valid JSON: Expecting value: line 1 column 1 (char 0)"),
        (b'{"query": "{ a }"} x', "the request body is not valid JSON: Extra data: line 1 column 20 (char 19)"),
        (b"\xff{}", "the request body is not UTF-8 text: 'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"),
        (b'[{"query": "{ a }"}]', "the request body must be a JSON object (batches of requests are not supported)"),
        (b"{}", 'the request has no "query"'),
        (b'{"query": 1}', '"query" must be a string'),
        (b'{"query": "{ a }", "variables": [1]}', '"variables" must be a JSON object or null'),
        (b'{"query": "{ a }", "variables": "{}"}', '"variables" must be a JSON object or null'),
        (b'{"query": "{ a }", "operationName": 1}', '"operationName" must be a string or null'),
        (b'{"query": "{ a }", "extensions": []}', '"extensions" must be a JSON object or null'),
        (b'{"query": "{ a }", "query": "{ b }"}', 'the request body is not valid JSON: the key "query" appears twice in one object'),
        (b'{"query": "{ a }", "variables": {"v": {"k": 1, "k": 2}}}', 'the request body is not valid JSON: the key "k" appears twice in one object'),
        (b'{"query": "{ a }", "variables": {"v": NaN}}', "the request body is not valid JSON: NaN is not JSON"),
        (b'{"query": "{ a(x: $v) }", "variables": {"v": 1e999}}', '"variables" hold a number that is out of range'),
        (b'{"query": "{ a }", "variables": {"v": ' + b"[" * 1_000_000 + b"}}", "the request body nests too deeply"),
    ],
)  # fmt: skip
@pytest.mark.parametrize("accept", [JSON, GQL])
def test_a_body_that_is_not_a_graphql_request_is_400(
    client: httpx.Client, url: str, content: bytes, message: str, accept: str
) -> None:
    if b"$v" in content:
        content = content.replace(b"{ a(x: $v) }", b"query ($v: Float) { files_read(x: $v) }")
    response = post(client, url, content, accept=accept)
    assert (response.status_code, errors(response)) == (400, [message])
    still_serving(client, url)


@pytest.mark.parametrize(
    ("params", "message"),
    [
        ({}, 'the request has no "query" parameter'),
        ([("query", "{ a }"), ("query", "{ b }")], 'the parameter "query" is given more than once'),
        ({"query": "{ a }", "variables": "{"}, '"variables" is not valid JSON: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)'),
        ({"query": "{ a }", "variables": "[]"}, '"variables" must be a JSON object or null'),
        ({"query": "{ a }", "extensions": "1"}, '"extensions" must be a JSON object or null'),
    ],
)  # fmt: skip
def test_bad_get_parameters_are_400(client: httpx.Client, url: str, params: Any, message: str) -> None:
    response = client.get(url, params=params)
    assert (response.status_code, errors(response)) == (400, [message])


def test_a_query_string_that_is_not_utf8_is_400(client: httpx.Client, url: str) -> None:
    response = client.get(url + "?query=%FF")
    assert response.status_code == 400
    assert errors(response)[0].startswith("the query string is not UTF-8 text")


@pytest.mark.parametrize(
    ("method", "status", "allow"),
    [
        ("PUT", 405, "GET, POST"),
        ("DELETE", 405, "GET, POST"),
        ("HEAD", 405, "GET, POST"),
        ("OPTIONS", 405, "GET, POST"),
    ],
)
def test_other_methods_are_405(client: httpx.Client, url: str, method: str, status: int, allow: str) -> None:
    response = client.request(method, url)
    assert (response.status_code, response.headers["allow"]) == (status, allow)


def test_another_path_is_404(client: httpx.Client, url: str) -> None:
    response = post(client, url.replace("/graphql", "/other"), {"query": "{ __typename }"})
    assert (response.status_code, errors(response)) == (404, ["no GraphQL endpoint at /other: it is at /graphql"])


@pytest.mark.parametrize(
    ("content_type", "message"),
    [
        (None, "a POST body must be application/json; the request has no Content-Type"),
        ("text/plain", "a POST body must be application/json in UTF-8, not text/plain"),
        ("application/graphql", "a POST body must be application/json in UTF-8, not application/graphql"),
        ("application/json; charset=latin-1", "a POST body must be application/json in UTF-8, not application/json; charset=latin-1"),
    ],
)  # fmt: skip
def test_a_body_of_another_media_type_is_415(
    client: httpx.Client, url: str, content_type: str | None, message: str
) -> None:
    headers = {"content-type": content_type} if content_type is not None else {}
    response = client.post(url, content=b'{"query": "{ __typename }"}', headers=headers)
    assert (response.status_code, errors(response)) == (415, [message])


def test_a_1_mib_variables_document_passes_the_default_limits(client: httpx.Client, url: str) -> None:
    records = [{"id": i, "name": f"record {i}", "tags": ["a", "b"], "score": i / 7} for i in range(15_000)]
    body = {"query": "query ($r: JSON) { files_read(rows: $r) }", "variables": {"r": records}}
    assert len(json.dumps(body)) > 1024 * 1024
    response = post(client, url, body)
    assert response.json()["data"]["files_read"]["args"]["rows"] == records


# -- limits --------------------------------------------------------------------


def test_limits(client: httpx.Client, tight_url: str) -> None:
    large = {"query": "{ __typename }", "variables": {"pad": "x" * 1000}}
    response = post(client, tight_url, large)
    assert (response.status_code, errors(response)) == (413, ["the request body is larger than 1000 bytes"])

    def chunks() -> Iterator[bytes]:  # no Content-Length: counted as it arrives
        yield b'{"query": "{ __typename }", "pad": "'
        for _ in range(20):
            yield b"x" * 100
        yield b'"}'

    response = client.post(tight_url, content=chunks(), headers={"content-type": JSON})
    assert (response.status_code, errors(response)) == (413, ["the request body is larger than 1000 bytes"])

    response = post(client, tight_url, {"query": "{ " + "__typename " * 30 + "}"})
    assert (response.status_code, errors(response)) == (413, ["the query is longer than 200 characters"])

    response = post(client, tight_url, {"query": "{ a: __typename b: __typename c: __typename }"})
    assert errors(response) == ["the operation selects 3 top-level fields; at most 2 may run"]
    response = post(client, tight_url, {"query": "{ a: __typename b: __typename c: __typename @skip(if: true) }"})
    assert response.json() == {"data": {"a": "Query", "b": "Query"}}
    still_serving(client, tight_url)


def test_a_body_that_trickles_in_is_408_and_others_are_served_meanwhile(client: httpx.Client, tight_url: str) -> None:
    port = int(tight_url.split(":")[2].split("/")[0])
    with socket.create_connection(("127.0.0.1", port), timeout=10) as slow:
        slow.sendall(
            b"POST /graphql HTTP/1.1\r\nhost: localhost\r\ncontent-type: application/json\r\ncontent-length: 100\r\n\r\n{"
        )
        still_serving(client, tight_url)  # the slow body holds up nobody
        answer = b""
        deadline = time.monotonic() + 10
        while b"\r\n\r\n" not in answer and time.monotonic() < deadline:
            slow.sendall(b" ")  # a byte at a time, never the whole body
            time.sleep(0.2)
            try:
                slow.settimeout(0.01)
                answer += slow.recv(65536)
            except TimeoutError:
                pass
    assert answer.startswith(b"HTTP/1.1 408 ")
    assert b"the request body did not arrive within 1 s" in answer
    still_serving(client, tight_url)


# -- access --------------------------------------------------------------------


def test_a_token_is_required_when_set(client: httpx.Client) -> None:
    with serving(GraphQLApp(SchemaEngine(CATALOGUE), token="s3cret")) as base:
        for authorization in [None, "Bearer wrong", "Basic s3cret", "Bearer s3cret2", "Bearer"]:
            headers = {"authorization": authorization} if authorization else {}
            response = post(client, base + "/graphql", {"query": "{ __typename }"}, **headers)
            assert (response.status_code, response.headers["www-authenticate"]) == (401, "Bearer")
            assert errors(response) == ["a bearer token is required (Authorization: Bearer <token>)"]
        for authorization in ["Bearer s3cret", "bearer s3cret"]:
            response = post(client, base + "/graphql", {"query": "{ __typename }"}, authorization=authorization)
            assert response.status_code == 200


@pytest.mark.parametrize(
    ("host", "status"),
    [
        ("localhost:8000", 200),
        ("LOCALHOST", 200),
        ("[::1]:8000", 200),
        ("attacker.example:8000", 400),  # a page that rebinds its name to 127.0.0.1
        ("127.0.0.1.attacker.example", 400),
        ("localhost:", 400),
        ("[::1", 400),
    ],
)
def test_allowed_hosts_refuse_other_host_headers(client: httpx.Client, tight_url: str, host: str, status: int) -> None:
    response = post(client, tight_url, {"query": "{ __typename }"}, host=host)
    assert response.status_code == status
    if status == 400:
        assert errors(response) == [f"host {host!r} is not served here"]


def test_cors_is_off_unless_origins_are_named(client: httpx.Client, url: str) -> None:
    response = post(client, url, {"query": "{ __typename }"}, origin="https://app.example")
    assert "access-control-allow-origin" not in response.headers
    with serving(GraphQLApp(SchemaEngine(CATALOGUE), cors_origins=["https://app.example"])) as base:
        preflight = client.options(
            base + "/graphql",
            headers={"origin": "https://app.example", "access-control-request-method": "POST"},
        )
        assert preflight.status_code == 204
        assert preflight.headers["access-control-allow-origin"] == "https://app.example"
        assert preflight.headers["access-control-allow-methods"] == "GET, POST"
        assert preflight.headers["access-control-allow-headers"] == "authorization, content-type"
        custom = client.options(
            base + "/graphql",
            headers={
                "origin": "https://app.example",
                "access-control-request-method": "POST",
                "access-control-request-headers": "content-type, x-trace",
            },
        )
        assert custom.headers["access-control-allow-headers"] == "content-type, x-trace"
        response = post(client, base + "/graphql", {"query": "{ __typename }"}, origin="https://app.example")
        assert response.headers["access-control-allow-origin"] == "https://app.example"
        other = client.options(
            base + "/graphql", headers={"origin": "https://evil.example", "access-control-request-method": "POST"}
        )
        assert other.status_code == 403
        response = post(client, base + "/graphql", {"query": "{ __typename }"}, origin="https://evil.example")
        assert "access-control-allow-origin" not in response.headers


# -- serving and stopping -------------------------------------------------------


def test_a_slow_tool_holds_up_no_other_request_and_a_client_that_leaves_leaves_nothing(
    client: httpx.Client, url: str, recorder: Recorder, caplog: pytest.LogCaptureFixture
) -> None:
    caplog.set_level(logging.INFO, logger="zarn.asgi")
    recorder.take()
    recorder.release.clear()
    recorder.waiting.clear()
    port = int(url.split(":")[2].split("/")[0])
    body = b'{"query": "{ files_wait }"}'
    with socket.create_connection(("127.0.0.1", port), timeout=10) as leaving:
        leaving.sendall(
            b"POST /graphql HTTP/1.1\r\nhost: x\r\ncontent-type: application/json\r\n"
            + f"content-length: {len(body)}\r\n\r\n".encode()
            + body
        )
        assert recorder.waiting.wait(10)
        response = post(client, url, {"query": '{ files_read(path: "meanwhile") }'})
        assert response.json()["data"]["files_read"]["args"] == {"path": "meanwhile"}
    deadline = time.monotonic() + 10
    while not any(" POST /graphql gone " in line for line in caplog.messages) and time.monotonic() < deadline:
        time.sleep(0.01)  # the request ends when the client leaves, not when its tool does
    assert [line.split()[3] for line in caplog.messages] == ["200", "gone"]
    recorder.release.set()
    deadline = time.monotonic() + 10
    while len(recorder.calls) < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert sorted(tool for tool, _ in recorder.take()) == ["read", "wait"]
    still_serving(client, url)


def test_the_app_starts_and_closes_a_host_it_manages(client: httpx.Client) -> None:
    host = ToolHost(SchemaEngine(CATALOGUE), Recorder().handlers())
    with serving(GraphQLApp(host, manage=True)) as base:
        response = post(client, base + "/graphql", {"query": '{ files_read(path: "x") }'})
        assert response.json()["data"]["files_read"]["tool"] == "read"
    with pytest.raises(RuntimeError, match="ToolHost is closed"):
        host.execute("{ __typename }")


def test_a_closed_host_is_503(client: httpx.Client) -> None:
    host = ToolHost(SchemaEngine(CATALOGUE), Recorder().handlers())
    host.close()
    with serving(GraphQLApp(host)) as base:
        response = post(client, base + "/graphql", {"query": '{ files_read(path: "x") }'})
        assert (response.status_code, errors(response)) == (
            503,
            ["the GraphQL service is not available: ToolHost is closed"],
        )
        assert post(client, base + "/graphql", {"query": "{ __typename }"}).status_code == 200


def test_hooks_answer_operations_and_serve_a_page(client: httpx.Client) -> None:
    seen: list[OperationRequest] = []

    def answer(request: OperationRequest) -> dict[str, Any] | None:
        seen.append(request)
        return {"data": {"__schema": {"ok": True}}} if "__schema" in request.field_names else None

    app = GraphQLApp(SchemaEngine(CATALOGUE), answer_operation=answer, explorer="<!doctype html><p>explorer")
    with serving(app) as base:
        response = client.get(base + "/graphql", params={"query": "query Q { __schema { types { name } } }"})
        assert response.json() == {"data": {"__schema": {"ok": True}}}
        assert (seen[0].operation_name, seen[0].method, seen[0].variables) == ("Q", "GET", {})
        assert post(client, base + "/graphql", {"query": "{ __typename }"}).json() == {"data": {"__typename": "Query"}}
        page = client.get(base + "/graphql", headers={"accept": "text/html,application/xhtml+xml,*/*;q=0.8"})
        assert (page.status_code, page.headers["content-type"]) == (200, "text/html; charset=utf-8")
        assert page.text == "<!doctype html><p>explorer"


def test_the_app_mounts_in_starlette() -> None:
    from starlette.applications import Starlette
    from starlette.routing import Mount, Route
    from starlette.testclient import TestClient

    engine = SchemaEngine(CATALOGUE)
    routes = [Route("/graphql", GraphQLApp(engine)), Mount("/api", GraphQLApp(engine, path="/gql"))]
    with TestClient(Starlette(routes=routes)) as test_client:
        for path in ["/graphql", "/api/gql"]:
            response = test_client.post(path, json={"query": "{ __typename }"})
            assert response.json() == {"data": {"__typename": "Query"}}, path
