"""Checked by mypy --strict (tests/python/test_typing.py): the public API as a user writes it.

Each `type: ignore` marks a call that must be rejected; with warn_unused_ignores
(part of --strict) a stub that grew too loose fails the check.
"""

import asyncio
from typing import Any, Literal, assert_type

import zarn
from zarn import RawJson, SchemaEngine, ToolCall, ToolHost
from zarn._graphql import graphql_stub

engine = SchemaEngine(zarn.sample_catalogue())
assert_type(SchemaEngine(), SchemaEngine)
assert_type(SchemaEngine(catalogue_json=None), SchemaEngine)
assert_type(SchemaEngine.build("[]"), SchemaEngine)
assert_type(SchemaEngine.from_tool_metadata(catalogue_json="[]"), SchemaEngine)
assert_type(engine.describe(), str)
assert_type(engine.tool_count(), int)
assert_type(engine.execute("{ __typename }", variables_json=None), str)
assert_type(engine.attach_call_bridge(), None)
assert_type(engine.detach_call_bridge(), None)
assert_type(engine.receive_tool_call(), str | None)
assert_type(engine.receive_tool_call(timeout_ms=0), str | None)
assert_type(engine.respond_tool_call("tool-call-1", "1"), bool)
assert_type(engine.fail_tool_call(request_id="tool-call-1", message="no"), bool)
assert_type(graphql_stub(), str)
assert_type(zarn.graphql_stub(), str)

SchemaEngine.build(None)  # type: ignore[arg-type]
SchemaEngine(b"[]")  # type: ignore[arg-type]
engine.execute("{ a }", {"v": 1})  # type: ignore[arg-type]
engine.receive_tool_call(None)  # type: ignore[arg-type]
engine.receive_tool_call(1.5)  # type: ignore[arg-type]
engine.describe(1)  # type: ignore[call-arg]


class Sub(SchemaEngine):  # type: ignore[misc]  # the class is final
    pass


host = ToolHost(engine, {("files", "search"): lambda args: {"hits": []}}, threads=2)


@host.tool("files", "read-file")
def read_file(args: dict[str, Any]) -> dict[str, str]:
    return {"path": str(args["path"])}


@host.tool("weather", "forecast")
async def forecast(args: dict[str, Any]) -> list[int]:
    await asyncio.sleep(0)
    return [1, 2]


@host.set_fallback
def fallback(call: ToolCall) -> RawJson:
    assert_type(call.operation, Literal["query", "mutation"])
    return RawJson(f'"{call.server}.{call.tool}"')


assert_type(read_file({"path": "a"}), dict[str, str])  # the decorator keeps the function's type
assert_type(fallback(ToolCall("r", "s", "t", {}, "query")), RawJson)  # so does set_fallback
assert_type(host.set_fallback(None), None)
assert_type(zarn.__version__, str)
host.add_tool("tracker", "list-issues", lambda args: [])
assert_type(host.unhandled_tools(), list[tuple[str, str]])
ToolHost(engine, threads="2")  # type: ignore[arg-type]

with host as running:
    assert_type(running, ToolHost)
    assert_type(running.execute("{ servers }", {"a": 1}), str)


async def service() -> None:
    async with ToolHost(engine, loop=asyncio.get_running_loop()) as served:
        assert_type(await served.execute_async("{ servers }", '{"a": 1}'), str)
        await served.execute_async("{ servers }", 5)  # type: ignore[arg-type]
