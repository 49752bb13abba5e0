"""Many executions against one engine while the host misbehaves within the
rules: 8 threads run queries of up to 64 tool fields each, 3 service threads
answer in random order after random delays and fail some calls, and another
thread detaches and re-attaches the bridge at random.

Every execute must return, every answered value must arrive at its own field
unchanged, every failed call must show its message, every call ended by a
detach must show "CallBridge is detached", and request ids must be unique.
The run is bounded by time (ZARN_STRESS_SECONDS, 20 by default); the figures
it reaches are printed (pytest -s shows them).
"""

import json
import os
import random
import threading
import time
from dataclasses import dataclass, field
from typing import Any

from zarn._graphql import SchemaEngine

SECONDS = float(os.environ.get("ZARN_STRESS_SECONDS", "20"))
EXECUTORS = 8
SERVICES = 3
MAX_FIELDS = 64
JOIN_TIMEOUT = 60.0
REQUEST_KEYS = ["request_id", "server", "tool", "arguments", "operation"]
DETACHED = {"isError": True, "json": None, "text": "CallBridge is detached"}

# Four servers of four tools; every other tool is not read-only.
SERVERS = ["alpha", "beta", "gamma", "delta"]
TOOLS = [(server, f"t{i}", i % 2 == 0) for server in SERVERS for i in range(4)]
CATALOGUE = json.dumps(
    [{"server": s, "tools": [{"name": t, "readOnly": ro} for (srv, t, ro) in TOOLS if srv == s]} for s in SERVERS]
)


def placeholder(server: str, tool: str) -> dict[str, Any]:
    text = f"SchemaEngine stub resolved {server}.{tool} but CallBridge is not wired yet"
    return {"isError": True, "json": None, "text": text}


@dataclass
class Outcome:
    kind: str  # "value" or "fail"
    payload: Any  # the value sent, or the failure message
    accepted: bool  # what respond_tool_call / fail_tool_call returned


@dataclass
class Run:
    engine: SchemaEngine
    stop_executing: threading.Event = field(default_factory=threading.Event)
    stop_serving: threading.Event = field(default_factory=threading.Event)
    lock: threading.Lock = field(default_factory=threading.Lock)
    # guarded by lock:
    expected_requests: dict[str, tuple[str, str, str, dict[str, Any]]] = field(default_factory=dict)
    outcomes: dict[str, Outcome] = field(default_factory=dict)
    request_ids: set[str] = field(default_factory=set)
    problems: list[str] = field(default_factory=list)
    results: list[tuple[list[tuple[str, str, str, str]], str]] = field(default_factory=list)
    toggles: int = 0

    def problem(self, text: str) -> None:
        with self.lock:
            self.problems.append(text)


def execute_loop(run: Run, worker: int, seed: int) -> None:
    rng = random.Random(seed)
    count = 0
    while not run.stop_executing.is_set():
        extra = {"w": worker, "n": count, "pad": "é" * rng.randint(0, 8)}
        fields = []
        for i in range(rng.randint(1, MAX_FIELDS)):
            server, tool, read_only = rng.choice(TOOLS)
            token = f"{worker}.{count}.{i}"
            fields.append((f"f{i}", server, tool, token))
            arguments = {"token": token, "i": i, "extra": extra}
            with run.lock:
                run.expected_requests[token] = (server, tool, "query" if read_only else "mutation", arguments)
        selection = " ".join(
            f'{alias}: {server}_{tool}(token: "{token}", i: {alias[1:]}, extra: $extra)'
            for alias, server, tool, token in fields
        )
        text = run.engine.execute("{ __typename " + selection + " }", json.dumps({"extra": extra}))
        with run.lock:
            run.results.append((fields, text))
        count += 1


def answer(run: Run, rng: random.Random, request: dict[str, Any]) -> None:
    request_id, token = request["request_id"], request["arguments"]["token"]
    if rng.random() < 0.1:
        time.sleep(rng.random() / 500)
    if rng.random() < 0.15:
        message = f'failed {token} "quoted"\n'
        outcome = Outcome("fail", message, run.engine.fail_tool_call(request_id, message))
    else:
        value = {"token": token, "n": rng.randint(-(2**63), 2**64 - 1), "f": rng.random(), "l": [None, True, "ü"]}
        outcome = Outcome("value", value, run.engine.respond_tool_call(request_id, json.dumps(value)))
    with run.lock:
        run.outcomes[token] = outcome


def check_request(run: Run, text: str) -> dict[str, Any] | None:
    request = json.loads(text)
    if list(request) != REQUEST_KEYS:
        run.problem(f"request keys out of order: {text}")
        return None
    token = request["arguments"].get("token")
    with run.lock:
        expected = run.expected_requests.get(token)
        if request["request_id"] in run.request_ids:
            run.problems.append(f"request id issued twice: {request['request_id']}")
        run.request_ids.add(request["request_id"])
        if token in run.outcomes:
            run.problems.append(f"field requested twice: {token}")
    got = (request["server"], request["tool"], request["operation"], request["arguments"])
    if got != expected:
        run.problem(f"request {text} does not match its field {expected}")
    return request


def serve_loop(run: Run, seed: int) -> None:
    rng = random.Random(seed)
    backlog: list[dict[str, Any]] = []
    while not run.stop_serving.is_set():
        text = run.engine.receive_tool_call(rng.choice([0, 1, 5, 20]))
        if text is not None:
            request = check_request(run, text)
            if request is not None:
                backlog.append(request)
            if len(backlog) < rng.randint(1, 8):
                continue  # hold a few back, then answer them out of order
        rng.shuffle(backlog)
        for request in backlog:
            answer(run, rng, request)
        backlog.clear()
    for request in backlog:  # taken before the stop: answered all the same
        answer(run, rng, request)


def toggle_loop(run: Run, seed: int) -> None:
    rng = random.Random(seed)
    while not run.stop_executing.wait(rng.uniform(0.02, 0.3)):
        run.engine.detach_call_bridge()
        time.sleep(rng.uniform(0, 0.003))
        run.engine.attach_call_bridge()
        run.toggles += 1


def start(target: Any, *args: Any) -> threading.Thread:
    thread = threading.Thread(target=target, args=args, daemon=True)
    thread.start()
    return thread


def test_executions_under_a_misbehaving_host() -> None:
    seed = random.randrange(2**32)
    print(f"\nstress seed {seed}")
    run = Run(SchemaEngine(CATALOGUE))
    run.engine.attach_call_bridge()
    services = [start(serve_loop, run, seed + 100 + i) for i in range(SERVICES)]
    executors = [start(execute_loop, run, i, seed + i) for i in range(EXECUTORS)]
    toggler = start(toggle_loop, run, seed + 200)
    try:
        run.stop_executing.wait(SECONDS)
    finally:
        run.stop_executing.set()
        toggler.join(JOIN_TIMEOUT)
        for thread in executors:  # the services still answer meanwhile
            thread.join(JOIN_TIMEOUT)
        finished_while_served = sum(not t.is_alive() for t in executors)
        run.engine.detach_call_bridge()  # unblocks whatever still waits
        for thread in executors:
            thread.join(10)
        run.stop_serving.set()
        for thread in services:
            thread.join(10)
        run.engine.detach_call_bridge()
    assert not any(t.is_alive() for t in executors + services + [toggler]), "a thread did not finish"
    assert finished_while_served == EXECUTORS, "an execute returned only after the final detach"
    assert run.problems == []

    counts = dict.fromkeys(["value", "fail", "detached", "placeholder", "refused"], 0)
    for fields, text in run.results:
        doc = json.loads(text)
        assert doc["errors"] == []
        data = doc["data"]
        assert sorted(data) == sorted(["__typename"] + [alias for alias, *_ in fields])
        for alias, server, tool, token in fields:
            value = data[alias]
            outcome = run.outcomes.get(token)
            if outcome is None:
                # Never taken by the host: started while detached, or still
                # queued when a detach ended it.
                assert value in (placeholder(server, tool), DETACHED), (token, value)
                counts["placeholder" if value != DETACHED else "detached"] += 1
            elif not outcome.accepted:
                assert value == DETACHED, (token, value, outcome)
                counts["refused"] += 1
            elif outcome.kind == "value":
                assert value == outcome.payload, (token, value, outcome)
                counts["value"] += 1
            else:
                assert value == {"isError": True, "json": None, "text": outcome.payload}, (token, value)
                counts["fail"] += 1

    fields_total = sum(counts.values())
    print(
        f"stress: {len(run.results)} executions, {fields_total} tool fields, {len(run.request_ids)} requests, "
        f"{run.toggles} detach/attach cycles in {SECONDS:.0f}s; {counts}"
    )
    assert len(run.results) > 0 and counts["value"] > 0 and counts["fail"] > 0
    assert len(run.request_ids) == len(run.outcomes)

    # Leftover envelopes can still be taken; answering them changes nothing.
    while (text := run.engine.receive_tool_call(0)) is not None:
        assert run.engine.respond_tool_call(json.loads(text)["request_id"], "0") is False
    assert run.engine.execute("{ alpha_t0 }") == json.dumps(
        {"data": {"alpha_t0": placeholder("alpha", "t0")}, "errors": []}, separators=(",", ":")
    )
