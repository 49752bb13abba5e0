import gzip
import json
import os
from collections.abc import Iterator
from html.parser import HTMLParser
from pathlib import Path
from typing import Any

import httpx
import pytest
from gateway_support import fault
from http_server import serving

from zarn import Gateway, SchemaEngine, ToolHost, explorer, sample_catalogue
from zarn.asgi import GraphQLApp
from zarn.demo import demo_handlers, demo_input_schemas


class Elements(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.tags: list[tuple[str, dict[str, str | None]]] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.tags.append((tag, dict(attrs)))


def test_page_is_one_document_that_loads_nothing_from_elsewhere() -> None:
    parser = Elements()
    parser.feed(explorer.page().decode("utf-8"))
    tags = [tag for tag, _ in parser.tags]
    assert tags.count("script") == 1 and tags.count("style") == 2 and tags[-1] == "script"  # nothing ended early
    assert [attrs for _, attrs in parser.tags if {"src", "href"} & attrs.keys()] == [{"rel": "icon", "href": "data:,"}]
    policy = [attrs["content"] for tag, attrs in parser.tags if attrs.get("http-equiv") == "Content-Security-Policy"]
    assert policy == [explorer.content_security_policy()]
    assert gzip.decompress(explorer.page_gzip()) == explorer.page()
    headers = dict(explorer.page_headers(gzipped=True))
    assert headers[b"content-length"] == str(len(explorer.page_gzip())).encode()
    assert headers[b"content-encoding"] == b"gzip"
    with pytest.raises(ValueError, match="no explorer file named '../schema.py'"):
        explorer.read_file("../schema.py")


HTML = {"accept": "text/html,application/xhtml+xml,*/*;q=0.8", "accept-encoding": "identity"}
SCHEMA = {"query": "{ __schema { queryType { name } } }"}


@pytest.mark.parametrize(
    ("options", "request_headers", "page", "introspection"),
    [
        ({}, {**HTML, "accept-encoding": "gzip, br"}, "gzip", 200),
        ({}, {**HTML, "accept-encoding": "gzip;q=0, *"}, "plain", 200),
        ({"explorer": False}, {"accept": "text/html"}, 406, 200),
        ({"explorer": "<p>own"}, HTML, "own", 200),
        ({"token": "t0k"}, HTML, "plain", 401),  # the page needs no token; what it asks for does
        ({"introspection": False}, HTML, "plain", "unknown GraphQL field: __schema"),
    ],
)
def test_the_app_serves_the_page_and_introspection(
    engine: SchemaEngine, options: dict[str, Any], request_headers: dict[str, str], page: Any, introspection: Any
) -> None:
    with serving(GraphQLApp(engine, **options)) as base, httpx.Client() as client:
        response = client.get(base + "/graphql", headers=request_headers)
        if isinstance(page, int):
            assert response.status_code == page
        elif page == "own":
            assert response.text == "<p>own"
        else:
            assert response.content == explorer.page()  # decoded by httpx when gzipped
            assert response.headers.get("content-encoding") == ("gzip" if page == "gzip" else None)
            assert response.headers["content-length"] == str(
                len(explorer.page_gzip() if page == "gzip" else explorer.page())
            )
            assert response.headers["content-security-policy"].startswith(explorer.content_security_policy())
        answer = client.post(base + "/graphql", json=SCHEMA)
        if isinstance(introspection, int):
            assert answer.status_code == introspection
        else:
            assert answer.json() == {"errors": [{"message": introspection}]}
    if introspection == 200:
        assert answer.json() == {"data": {"__schema": {"queryType": {"name": "Query"}}}}


def test_introspection_by_get_and_input_schemas_declare_arguments(engine: SchemaEngine) -> None:
    inputs = {("beta", "echo"): {"type": "object", "properties": {"text": {"type": "string"}}, "required": ["text"]}}
    with pytest.raises(ValueError, match="input schema given for tool nope of server beta"):
        GraphQLApp(engine, input_schemas={("beta", "nope"): {}})
    with pytest.raises(ValueError, match="input_schemas cannot be given for a Gateway: its tools bring their own"):
        GraphQLApp(Gateway({"f": fault()}), input_schemas={})
    query = '{ __type(name: "Query") { fields(includeDeprecated: false) { name args { name type { kind } } } } }'
    with serving(GraphQLApp(engine, input_schemas=inputs)) as base:
        fields = httpx.get(base + "/graphql", params={"query": query}).json()["data"]["__type"]["fields"]
    assert {field["name"]: field["args"] for field in fields}["beta_echo"] == [
        {"name": "text", "type": {"kind": "NON_NULL"}}
    ]


@pytest.fixture
def served() -> Iterator[str]:
    host = ToolHost(SchemaEngine(sample_catalogue()), demo_handlers())
    with serving(GraphQLApp(host, input_schemas=demo_input_schemas(), manage=True)) as base:
        yield base + "/graphql"


def test_explorer_in_a_browser(served: str) -> None:
    """The page loads from the app alone, fetches the schema, runs a typed query and shows its response.

    ZARN_EXPLORER_SCREENSHOT=docs/explorer.png keeps a screenshot of it.
    """
    from browser import headless_chromium, off_loopback, requested_urls

    url = served
    with headless_chromium() as driver:  # skips (or fails) first when there is no browser
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
        from selenium.webdriver.support import expected_conditions as ec
        from selenium.webdriver.support.ui import WebDriverWait

        wait = WebDriverWait(driver, 30, poll_frequency=0.05)
        driver.get(url)
        editor = wait.until(ec.element_to_be_clickable((By.CSS_SELECTOR, ".graphiql-query-editor .CodeMirror")))
        editor.click()
        typing = driver.switch_to.active_element
        typing.send_keys(Keys.CONTROL, "a")
        typing.send_keys(Keys.DELETE)
        # The editor closes brackets and quotes itself and types over them, so this reads as written.
        typing.send_keys('{ files_search(query: "docs") }')
        query = driver.execute_script(
            "return document.querySelector('.graphiql-query-editor .CodeMirror').CodeMirror.getValue()"
        )
        assert query == '{ files_search(query: "docs") }'
        driver.find_element(By.CSS_SELECTOR, ".graphiql-execute-button").click()
        response = wait.until(
            lambda d: d.execute_script(
                "return document.querySelector('.graphiql-response .CodeMirror').CodeMirror.getValue()"
            )
        )
        assert json.loads(response) == {
            "data": {"files_search": {"hits": ["docs/graphql.md", "notes/todo.md"], "total": 2}}
        }
        # The documentation explorer lists the tool fields, with their arguments, from the fetched schema.
        driver.find_element(By.CSS_SELECTOR, "[aria-label='Show Documentation Explorer']").click()
        wait.until(ec.element_to_be_clickable((By.XPATH, "//a[text()='Query']"))).click()
        docs = wait.until(lambda d: d.find_element(By.CSS_SELECTOR, ".graphiql-doc-explorer"))
        wait.until(lambda d: "files_search" in docs.text and "weather_forecast" in docs.text)
        assert "limit: Int" in docs.text.replace("\n", " ")
        if target := os.environ.get("ZARN_EXPLORER_SCREENSHOT"):
            Path(target).write_bytes(driver.get_screenshot_as_png())
        urls = requested_urls(driver)
        assert url in urls and off_loopback(urls) == []
        log = driver.get_log("browser")
        assert [e for e in log if e["level"] == "SEVERE" or "Content Security Policy" in e["message"]] == []
