"""GraphQL over HTTP under load: zarn, graphql-core and uvicorn's floor side by side.

    python bench/http_bench.py [--seconds 20] [--connections 64] [--rounds 1]
        [--workloads placeholders,handlers] [--apps floor,zarn,graphql-core,graphql-core-sync] [--layer]

Each app (bench/http_apps.py) runs in a uvicorn process of its own on a
loopback port; wrk drives it with the same POST for the given time over the
given connections, and a Lua script compares every response with the expected
document: one response that differs, fails or is lost (a socket error, a
timeout, another status) fails the run. The expected documents are the
catalogue model's (bench/workloads.py), checked as parsed JSON against each
app's answer before the load starts; under load the bytes are compared.
Rounds interleave the apps, so that a change in the machine's load touches them
alike; the table gives the median requests/s and latencies of the rounds.

`--layer` also measures the HTTP layer's own cost per request on a cache hit
(the app called in-process with a ready request, less the engine's execute and
less a floor app under the same harness), and the bridge's: a request through a
ToolHost, its hop to an execute thread and back, and each tool call.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import http_apps  # run as a script, this directory is on the path
import httpx

HERE = Path(__file__).resolve().parent

LUA = """
local function slurp(path)
  local file = assert(io.open(path, "rb"))
  local text = file:read("*a")
  file:close()
  return text
end

wrk.method = "POST"
wrk.body = slurp(%(body)s)
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Accept"] = "application/json"
local expected = slurp(%(expected)s)
local threads = {}
bad = 0
first_bad = ""

function setup(thread)
  table.insert(threads, thread)
end

function response(status, headers, body)
  if status ~= 200 or body ~= expected then
    if bad == 0 then first_bad = status .. " " .. string.sub(body, 1, 300) end
    bad = bad + 1
  end
end

function done(summary, latency, requests)
  local total = 0
  local sample = ""
  for _, thread in ipairs(threads) do
    total = total + thread:get("bad")
    if sample == "" then sample = thread:get("first_bad") end
  end
  local errors = summary.errors
  io.write(string.format("CHECK bad=%%d socket=%%d status=%%d timeout=%%d\\n", total,
    errors.connect + errors.read + errors.write, errors.status, errors.timeout))
  io.write("SAMPLE " .. sample .. "\\n")
  io.write(string.format("RESULT requests=%%d seconds=%%f p50=%%d p99=%%d\\n", summary.requests,
    summary.duration / 1e6, latency:percentile(50), latency:percentile(99)))
end
"""


@dataclass
class Run:
    app: str
    workload: str
    requests_per_second: float
    p50_ms: float
    p99_ms: float
    cpu_us: float  # the server process's CPU time (all its threads) per request


def lua_string(path: Path) -> str:
    return json.dumps(str(path))  # a JSON string is a Lua string for plain paths


def cpu_seconds(pid: int) -> float:
    """User and system time of a process so far, its threads included."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class Server:
    """One app in a uvicorn process of its own, stopped with SIGINT like a terminal would."""

    def __init__(self, app: str, workload: str) -> None:
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}/graphql"
        self.process = subprocess.Popen([sys.executable, str(HERE / "http_apps.py"), app, workload, str(self.port)])
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"{app} exited with {self.process.returncode} before serving")
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                    return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError(f"{app} did not start serving within 60 s")

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def checked_answer(url: str, body: bytes, workload: str) -> bytes:
    """The app's answer, which must hold the expected data exactly."""
    response = httpx.post(url, content=body, headers={"content-type": "application/json"}, timeout=30)
    if response.status_code != 200:
        raise AssertionError(f"status {response.status_code}: {response.text[:300]}")
    document = json.loads(response.content)
    if document != {"data": http_apps.expected_data(workload)}:
        raise AssertionError(f"unexpected document: {response.text[:300]}")
    return response.content


def load(app: str, workload: str, seconds: int, connections: int, scratch: Path) -> Run:
    server = Server(app, workload)
    try:
        body = http_apps.request_body(workload)
        expected = checked_answer(server.url, body, workload)
        (scratch / "body").write_bytes(body)
        (scratch / "expected").write_bytes(expected)
        script = scratch / "check.lua"
        script.write_text(LUA % {"body": lua_string(scratch / "body"), "expected": lua_string(scratch / "expected")})
        cpu_before = cpu_seconds(server.process.pid)
        done = subprocess.run(
            [
                "wrk",
                f"-t{min(2, connections)}",
                f"-c{connections}",
                f"-d{seconds}s",
                "--timeout",
                "10s",
                "-s",
                str(script),
                server.url,
            ],
            capture_output=True,
            text=True,
            check=True,
        )
        cpu = cpu_seconds(server.process.pid) - cpu_before
    finally:
        server.stop()
    check = re.search(r"CHECK bad=(\d+) socket=(\d+) status=(\d+) timeout=(\d+)", done.stdout)
    result = re.search(r"RESULT requests=(\d+) seconds=([\d.]+) p50=(\d+) p99=(\d+)", done.stdout)
    if check is None or result is None:
        raise RuntimeError(f"wrk gave no result:\n{done.stdout}\n{done.stderr}")
    failures = [int(value) for value in check.groups()]
    if any(failures):
        sample = re.search(r"SAMPLE (.*)", done.stdout)
        raise AssertionError(
            f"{app} / {workload}: bad={failures[0]} socket errors={failures[1]} other status={failures[2]} "
            f"timeouts={failures[3]}; first bad response: {sample.group(1) if sample else '?'}"
        )
    requests, elapsed, p50, p99 = int(result[1]), float(result[2]), int(result[3]), int(result[4])
    return Run(app, workload, requests / elapsed, p50 / 1000, p99 / 1000, cpu / requests * 1e6)


# -- the HTTP layer's own cost ------------------------------------------------


def layer_cost(repeats: int = 15, calls: int = 5000) -> dict[str, float]:
    """Microseconds per request: the app in-process on a cache hit, the engine alone, a floor app, the layer."""
    import zarn
    from zarn.asgi import GraphQLApp

    engine = zarn.SchemaEngine(http_apps.catalogue()[1])
    app = GraphQLApp(engine)
    floor = http_apps.floor_app("placeholders")
    query = http_apps.query_text("placeholders")
    body = http_apps.request_body("placeholders")
    scope = {
        "type": "http",
        "method": "POST",
        "path": "/graphql",
        "root_path": "",
        "query_string": b"",
        "headers": [
            (b"host", b"127.0.0.1:8000"),
            (b"content-type", b"application/json"),
            (b"accept", b"application/json"),
            (b"content-length", str(len(body)).encode()),
        ],
    }
    message = {"type": "http.request", "body": body, "more_body": False}

    async def receive() -> Any:
        return message

    async def send(_message: Any) -> None:
        pass

    async def serve(target: Any) -> float:
        start = time.perf_counter()
        for _ in range(calls):
            await target(scope, receive, send)
        return (time.perf_counter() - start) / calls

    def execute() -> float:
        start = time.perf_counter()
        for _ in range(calls):
            engine.execute(query)
        return (time.perf_counter() - start) / calls

    async def measure() -> dict[str, list[float]]:
        times: dict[str, list[float]] = {"app": [], "floor": [], "engine": []}
        for _ in range(repeats):
            times["app"].append(await serve(app))
            times["floor"].append(await serve(floor))
            times["engine"].append(execute())
        return times

    best = {name: min(values) * 1e6 for name, values in asyncio.run(measure()).items()}
    best["layer"] = best["app"] - best["floor"] - best["engine"]
    return best


def bridge_cost(repeats: int = 9, calls: int = 300) -> dict[str, float]:
    """Microseconds, one request at a time through a ToolHost: the hop to an execute
    thread and back ({ __typename }), and each tool call of the 8-field query beyond it."""
    import zarn

    tools = http_apps.selected_tools()
    engine = zarn.SchemaEngine(http_apps.catalogue()[1])
    host = zarn.ToolHost(engine, {(tool.server, tool.tool): http_apps.handler for tool in tools}, threads=2)
    query = http_apps.query_text("handlers")

    async def timed(text: str) -> float:
        start = time.perf_counter()
        for _ in range(calls):
            await host.execute_async(text)
        return (time.perf_counter() - start) / calls

    async def measure() -> dict[str, float]:
        async with host:
            expected = {"data": http_apps.expected_data("handlers"), "errors": []}
            assert json.loads(await host.execute_async(query)) == expected
            tools_times, hop_times, inline_times = [], [], []
            for _ in range(repeats):
                tools_times.append(await timed(query))
                hop_times.append(await timed("{ __typename }"))
                start = time.perf_counter()
                for _ in range(calls):
                    engine.execute("{ __typename }")
                inline_times.append((time.perf_counter() - start) / calls)
        best = {"tools": min(tools_times), "hop": min(hop_times), "inline": min(inline_times)}
        return {
            "hop": (best["hop"] - best["inline"]) * 1e6,
            "per call": (best["tools"] - best["hop"]) / len(tools) * 1e6,
            "request": best["tools"] * 1e6,
        }

    return asyncio.run(measure())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--connections", type=int, default=64)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--workloads", default=",".join(http_apps.WORKLOADS))
    parser.add_argument("--apps", default="floor,zarn,graphql-core,graphql-core-sync")
    parser.add_argument("--layer", action="store_true", help="also measure the HTTP layer's own cost per request")
    args = parser.parse_args()
    if shutil.which("wrk") is None:
        sys.exit("wrk is not installed")

    runs: list[Run] = []
    with tempfile.TemporaryDirectory() as scratch:
        for round_ in range(args.rounds):
            for workload in args.workloads.split(","):
                for app in args.apps.split(","):
                    if workload == "gateway" and app == "graphql-core-sync":
                        continue  # a plain resolver cannot await a tool server
                    run = load(app, workload, args.seconds, args.connections, Path(scratch))
                    print(
                        f"round {round_ + 1}: {workload:12} {app:12} {run.requests_per_second:9,.0f} requests/s"
                        f"  p50 {run.p50_ms:6.2f} ms  p99 {run.p99_ms:6.2f} ms  CPU {run.cpu_us:5.0f} µs/request",
                        flush=True,
                    )
                    runs.append(run)

    print(f"\n{args.connections} connections, {args.seconds} s per run, medians of {args.rounds} round(s)\n")
    print("| workload | app | requests/s | of the floor, per round | p50 | p99 | server CPU per request |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for workload in args.workloads.split(","):
        floors = {index: run for index, run in enumerate(runs) if run.app == "floor" and run.workload == workload}
        for app in args.apps.split(","):
            mine = [(index, run) for index, run in enumerate(runs) if run.app == app and run.workload == workload]
            if not mine:
                continue
            # Each run against the floor of its own round: the load on a shared
            # machine drifts between rounds more than between neighbouring runs.
            shares = []
            for index, run in mine:
                floor = max((i for i in floors if i <= index), default=None)
                if floor is not None:
                    shares.append(run.requests_per_second / floors[floor].requests_per_second)
            share = f"{statistics.median(shares):.0%}" if shares else "-"
            rate = statistics.median(run.requests_per_second for _, run in mine)
            p50 = statistics.median(run.p50_ms for _, run in mine)
            p99 = statistics.median(run.p99_ms for _, run in mine)
            cpu = statistics.median(run.cpu_us for _, run in mine)
            print(f"| {workload} | {app} | {rate:,.0f} | {share} | {p50:.2f} ms | {p99:.2f} ms | {cpu:,.0f} µs |")
    if args.layer:
        cost = layer_cost()
        print(
            f"\nHTTP layer on a cache hit: {cost['layer']:.1f} µs per request "
            f"(app {cost['app']:.1f}, engine {cost['engine']:.1f}, harness floor {cost['floor']:.1f})"
        )
        bridge = bridge_cost()
        print(
            f"ToolHost, one request at a time: {bridge['request']:.0f} µs for 8 tool fields; "
            f"the hop to an execute thread and back {bridge['hop']:.0f} µs, each tool call {bridge['per call']:.1f} µs"
        )


if __name__ == "__main__":
    main()
