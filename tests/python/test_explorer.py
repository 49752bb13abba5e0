import gzip
import json
from collections.abc import Iterator
from html.parser import HTMLParser
from typing import Any

import pytest
from graphql import parse

from zarn import SchemaEngine, ToolHost, explorer
from zarn.introspection import answer_introspection, selects_introspection
from zarn.schema import GeneratedSchema


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


class ExplorerApp:
    """The least an endpoint needs for the explorer: the page on GET, POSTed operations answered
    by introspection or by the host. `answered` records which one answered each request."""

    def __init__(self, host: ToolHost, generated: GeneratedSchema) -> None:
        self.host, self.generated = host, generated
        self.answered: list[tuple[str, str]] = []

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["method"] == "GET":
            gzipped = b"gzip" in dict(scope["headers"]).get(b"accept-encoding", b"")
            body = explorer.page_gzip() if gzipped else explorer.page()
            await send(
                {"type": "http.response.start", "status": 200, "headers": explorer.page_headers(gzipped=gzipped)}
            )
            await send({"type": "http.response.body", "body": body})
            return
        body = b""
        while True:
            message = await receive()
            body += message.get("body", b"")
            if not message.get("more_body"):
                break
        request = json.loads(body)
        document, name = parse(request["query"]), request.get("operationName")
        if selects_introspection(document, name):
            text = answer_introspection(self.generated, document, name, request.get("variables"))
            self.answered.append(("introspection", text))
        else:
            text = await self.host.execute_async(request["query"], request.get("variables"))
            self.answered.append(("engine", text))
        await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"application/json")]})
        await send({"type": "http.response.body", "body": text.encode("utf-8")})


@pytest.fixture
def served(engine: SchemaEngine) -> Iterator[tuple[str, ExplorerApp]]:
    from served import serve_asgi

    inputs = {("beta", "echo"): {"type": "object", "properties": {"text": {"type": "string"}}, "required": ["text"]}}
    host = ToolHost(engine, {("beta", "echo"): lambda args: {"echoed": args["text"]}})
    app = ExplorerApp(host, GeneratedSchema.for_engine(engine, input_schemas=inputs))
    with host, serve_asgi(app) as url:
        yield url + "/graphql", app


def test_explorer_in_a_browser(served: tuple[str, ExplorerApp]) -> None:
    from browser import headless_chromium, off_loopback, requested_urls
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support import expected_conditions as ec
    from selenium.webdriver.support.ui import WebDriverWait

    url, app = served
    with headless_chromium() as driver:
        wait = WebDriverWait(driver, 30)
        driver.get(url)
        wait.until(lambda d: any(kind == "introspection" for kind, _ in app.answered))  # the schema is fetched
        editor = wait.until(ec.element_to_be_clickable((By.CSS_SELECTOR, ".graphiql-query-editor .CodeMirror")))
        editor.click()
        typing = driver.switch_to.active_element
        typing.send_keys(Keys.CONTROL, "a")
        typing.send_keys(Keys.DELETE)
        # The editor closes brackets and quotes itself and types over them, so this reads as written.
        typing.send_keys('{ beta_echo(text: "hi") }')
        query = driver.execute_script(
            "return document.querySelector('.graphiql-query-editor .CodeMirror').CodeMirror.getValue()"
        )
        assert query == '{ beta_echo(text: "hi") }'
        driver.find_element(By.CSS_SELECTOR, ".graphiql-execute-button").click()
        response = wait.until(
            lambda d: d.execute_script(
                "return document.querySelector('.graphiql-response .CodeMirror').CodeMirror.getValue()"
            )
        )
        assert json.loads(response) == {"data": {"beta_echo": {"echoed": "hi"}}, "errors": []}
        assert app.answered[-1] == ("engine", '{"data":{"beta_echo":{"echoed":"hi"}},"errors":[]}')
        # The documentation explorer lists the tool fields from the fetched schema.
        driver.find_element(By.CSS_SELECTOR, "[aria-label='Show Documentation Explorer']").click()
        wait.until(ec.element_to_be_clickable((By.XPATH, "//a[text()='Query']"))).click()
        wait.until(lambda d: "beta_echo" in d.find_element(By.CSS_SELECTOR, ".graphiql-doc-explorer").text)
        urls = requested_urls(driver)
        assert url in urls and off_loopback(urls) == []
        log = driver.get_log("browser")
        assert [e for e in log if e["level"] == "SEVERE" or "Content Security Policy" in e["message"]] == []
