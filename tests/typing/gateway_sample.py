"""Checked by mypy --strict (tests/python/test_typing.py): the gateway's API as a user writes it."""

from collections.abc import Mapping, Sequence

import zarn
from zarn import Gateway, SchemaEngine, ToolHost
from zarn.gateway import ConfigError, ServerStartError, ServerStatus, StdioServerConfig
from zarn.toolspec import ToolSpec


def use(gateway: Gateway) -> None:
    reveal: tuple[str, SchemaEngine, ToolHost, Sequence[ToolSpec], str, Mapping[str, str]] = (
        gateway.execute("{ __typename }", {"v": 1}),
        gateway.engine,
        gateway.host,
        gateway.tools,
        gateway.catalogue_text,
        gateway.skipped,
    )
    statuses: dict[str, ServerStatus] = gateway.status()
    del reveal, statuses
    gateway.execute(1)  # type: ignore[arg-type]


async def use_async() -> str:
    async with zarn.Gateway.from_config({"mcpServers": {}}, start_timeout=5.0) as gateway:
        return await gateway.execute_async("{ __typename }")


Gateway.from_config("servers.json", timeout=5)  # type: ignore[call-arg]


try:
    with Gateway({"files": StdioServerConfig("npx", ("-y", "server-filesystem"))}, skip_failed=True) as running:
        use(running)
except (ConfigError, ServerStartError) as error:
    print(error)
