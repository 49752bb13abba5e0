"""What the gateway adds to real tool calls: `python bench/gateway_bench.py [--rounds N]`.

Needs the public tool servers installed in tests/servers (`make servers`) and node.

1. 100 calls to the everything server's `echo`, as 100 fields of one query
   through the gateway, against the same 100 calls made directly with the
   gateway's protocol client on an event loop, all in flight at once; each
   against a server process of its own, rounds alternating.
2. One call alone the same two ways: the microseconds the gateway adds.
3. Starting the three servers and listing their tools, together and each alone.
4. Where the added time goes: a ToolHost answering 100 fields from a sync
   handler and from an async one on an event loop thread (the gateway's kind),
   with no server behind them.

Every response is checked before it is timed. Figures are medians over rounds.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import statistics
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from zarn import Gateway, RawJson, SchemaEngine, ToolHost
from zarn.gateway.client import ProtocolClient
from zarn.gateway.config import StdioServerConfig, read_config
from zarn.gateway.results import field_value
from zarn.gateway.stdio import StdioTransport

ROOT = Path(__file__).resolve().parents[1]

PACKAGES = ROOT / "tests" / "servers" / "node_modules" / "@modelcontextprotocol"


def config(tmp: Path) -> dict[str, Any]:
    def script(package: str) -> str:
        path = PACKAGES / package / "dist" / "index.js"
        if not path.is_file():
            sys.exit(f"{path} is missing: run `make servers` first")
        return str(path)

    return {
        "mcpServers": {
            "everything": {"command": "node", "args": [script("server-everything"), "stdio"]},
            "files": {"command": "node", "args": [script("server-filesystem"), str(tmp)]},
            "memory": {
                "command": "node",
                "args": [script("server-memory")],
                "env": {"MEMORY_FILE_PATH": str(tmp / "memory.jsonl")},
            },
        }
    }


def median_ms(samples: list[float]) -> float:
    return statistics.median(samples) * 1e3


class Direct:
    """The protocol client alone, on an event loop of its own in this thread."""

    def __init__(self, server: StdioServerConfig) -> None:
        self.loop = asyncio.new_event_loop()
        self.client = ProtocolClient("direct", StdioTransport("direct", server))
        self.loop.run_until_complete(self.client.connect())

    def calls(self, messages: list[str]) -> list[str]:
        async def all_at_once() -> list[str]:
            results = await asyncio.gather(*(self.client.call_tool("echo", {"message": m}) for m in messages))
            return [field_value(result) for result in results]  # the same shaping as the gateway's

        return self.loop.run_until_complete(all_at_once())

    def close(self) -> None:
        self.loop.run_until_complete(self.client.close())
        self.loop.close()


CPU: dict[str, float] = {}  # this process's CPU seconds per path, all threads


def timed(fn: Callable[[], Any], check: Callable[[Any], None], path: str = "") -> float:
    cpu = time.process_time()
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    CPU[path] = CPU.get(path, 0.0) + time.process_time() - cpu
    check(result)
    return elapsed


def calls(rounds: int, tmp: Path) -> None:
    servers = read_config(config(tmp))
    everything = servers["everything"]
    assert isinstance(everything, StdioServerConfig)
    messages = [f"message {i}" for i in range(100)]
    query = "{ " + " ".join(f'e{i}: everything_echo(message: "{m}")' for i, m in enumerate(messages)) + " }"

    def check_gateway(text: str) -> None:
        data = json.loads(text)["data"]
        assert [data[f"e{i}"]["text"] for i in range(100)] == [f"Echo: {m}" for m in messages], text[:300]

    def check_direct(values: list[str]) -> None:
        assert [json.loads(v)["text"] for v in values] == [f"Echo: {m}" for m in messages]

    one_query = '{ everything_echo(message: "message 0") }'
    with Gateway({"everything": everything}) as gateway:
        direct = Direct(everything)
        try:
            for _ in range(20):  # warm both paths (node's JIT, the engine's threads)
                gateway.execute(query)
                direct.calls(messages)
            many_gateway, many_direct, one_gateway, one_direct = [], [], [], []
            for _ in range(rounds):
                many_gateway.append(timed(lambda: gateway.execute(query), check_gateway, "gateway"))
                many_direct.append(timed(lambda: direct.calls(messages), check_direct, "direct"))
            for _ in range(rounds * 5):
                one_gateway.append(timed(lambda: gateway.execute(one_query), lambda t: None))
                one_direct.append(timed(lambda: direct.calls(messages[:1]), lambda v: None))
        finally:
            direct.close()
    g, d = median_ms(many_gateway), median_ms(many_direct)
    print(f"100 echo calls in flight at once: gateway {g:.2f} ms, direct {d:.2f} ms, ratio {g / d:.3f}")
    cpu_g, cpu_d = (CPU[path] / rounds * 1e3 for path in ("gateway", "direct"))
    print(f"  this process's CPU per 100 calls: gateway {cpu_g:.2f} ms, direct {cpu_d:.2f} ms")
    g1, d1 = median_ms(one_gateway), median_ms(one_direct)
    print(f"one echo call alone: gateway {g1 * 1e3:.0f} µs, direct {d1 * 1e3:.0f} µs, added {(g1 - d1) * 1e3:.0f} µs")


def startup(rounds: int, tmp: Path) -> None:
    servers = read_config(config(tmp))
    together, alone = [], {name: [] for name in servers}
    for _ in range(rounds):
        start = time.perf_counter()
        with Gateway(servers) as gateway:
            together.append(time.perf_counter() - start)
            assert len(gateway.tools) > 30
        for name, server in servers.items():
            start = time.perf_counter()
            with Gateway({name: server}):
                alone[name].append(time.perf_counter() - start)
    each = ", ".join(f"{name} {median_ms(samples):.0f} ms" for name, samples in alone.items())
    print(f"start three servers and list their tools: {median_ms(together):.0f} ms together; alone: {each}")


def host_hop(rounds: int) -> None:
    catalogue = json.dumps([{"server": "e", "tools": [{"name": "echo"}]}])
    query = "{ " + " ".join(f'e{i}: e_echo(message: "m{i}")' for i in range(100)) + " }"
    value = RawJson('{"isError":false,"json":null,"text":"Echo: m"}')

    async def answer_async(arguments: dict[str, Any]) -> RawJson:
        return value

    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()
    figures = []
    for name, handler in (("sync", lambda arguments: value), ("async", answer_async)):
        with ToolHost(SchemaEngine(catalogue), {("e", "echo"): handler}, threads=1, loop=loop) as host:
            for _ in range(20):
                host.execute(query)
            cpu = time.process_time()
            for _ in range(rounds * 3):
                host.execute(query)
            figures.append(f"{name} {(time.process_time() - cpu) / (rounds * 3 * 100) * 1e6:.1f} µs")
    loop.call_soon_threadsafe(loop.stop)
    thread.join()
    loop.close()
    print("ToolHost, CPU per tool call with no server behind: " + ", ".join(figures))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=30)
    args = parser.parse_args()
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        calls(args.rounds, Path(tmp))
        startup(max(3, args.rounds // 10), Path(tmp))
    host_hop(args.rounds)


if __name__ == "__main__":
    main()
