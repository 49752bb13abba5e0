"""A tool server that misbehaves on request, for the gateway's tests.

It speaks the protocol over stdio (one JSON message per line) and lists its
tools over two pages. Options change how it starts:

    --exit-at-once STATUS   write a line to stderr and exit with STATUS
    --mute                  read everything, answer nothing (not even initialize)
    --version VERSION       answer initialize with this protocol version
    --stubborn              stay when its input ends (with SIGTERM ignored, only SIGKILL ends it)

Its tools: echo (answers its arguments as JSON text), noise (a log message, garbage
lines, an answer for an unknown id and a list of non-objects before its answer), big
(a text of `size` bytes), ask (sends the client a sampling request and a ping
and answers with their answers), flood (writes `bytes` to stderr first), hang
(never answers), cancelled (the request ids the client cancelled so far),
crash (exits with `status`), sleep (answers `text` after `seconds`), changed
(adds a tool "extra" and says its tool list changed), pid (its process id),
reject (a JSON-RPC error).
"""

import json
import os
import signal
import sys
import threading

lock = threading.Lock()
cancelled: list[object] = []
asked: dict[str, object] = {}  # server request id -> client request id waiting on its answers
answers: dict[str, object] = {}

TOOLS = [
    {"name": "echo", "description": "Answer the arguments", "annotations": {"readOnlyHint": True}},
    {"name": "noise", "title": "Noise before the answer"},
    {"name": "big"},
    {"name": "ask"},
    {"name": "flood"},
    {"name": "hang"},
    {"name": "cancelled", "annotations": {"readOnlyHint": True}},
    {"name": "crash"},
    {"name": "sleep"},
    {"name": "changed"},
    {"name": "pid", "annotations": {"readOnlyHint": True}},
    {"name": "reject"},
]
for tool in TOOLS:
    tool["inputSchema"] = {"type": "object"}


def send(message: object) -> None:
    data = json.dumps(message) + "\n"
    with lock:
        sys.stdout.write(data)
        sys.stdout.flush()


def raw(line: str) -> None:
    with lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def answer(request_id: object, result: object) -> None:
    send({"jsonrpc": "2.0", "id": request_id, "result": result})


def text(value: str) -> dict[str, object]:
    return {"content": [{"type": "text", "text": value}]}


def call(request_id: object, name: str, arguments: dict[str, object]) -> None:
    if name == "echo":
        answer(request_id, text(json.dumps(arguments)))
    elif name == "noise":
        send(
            {
                "jsonrpc": "2.0",
                "method": "notifications/message",
                "params": {"level": "warning", "logger": "db", "data": "careful"},
            }
        )
        raw("this line is not JSON")
        send({"jsonrpc": "2.0", "id": 987654, "result": {"content": []}})
        raw("[1, 2]")
        raw("[" * 100000 + "]" * 100000)
        answer(request_id, text("after the noise"))
    elif name == "big":
        answer(request_id, text("x" * int(arguments["size"])))
    elif name == "ask":
        asked["s-1"] = asked["s-2"] = request_id
        send({"jsonrpc": "2.0", "id": "s-1", "method": "sampling/createMessage", "params": {"messages": []}})
        send({"jsonrpc": "2.0", "id": "s-2", "method": "ping"})
    elif name == "flood":
        line = "flood " + "#" * 94 + "\n"
        for _ in range(int(arguments["bytes"]) // len(line)):
            sys.stderr.write(line)
        sys.stderr.write("flood ends\n")
        sys.stderr.flush()
        answer(request_id, text("flooded"))
    elif name == "hang":
        pass
    elif name == "cancelled":
        answer(request_id, {"content": [], "structuredContent": {"cancelled": cancelled}})
    elif name == "crash":
        sys.stderr.write("crashing as asked\n")
        sys.stderr.flush()
        os._exit(int(arguments.get("status", 1)))
    elif name == "sleep":
        reply = text(str(arguments["text"]))
        threading.Timer(float(arguments["seconds"]), answer, (request_id, reply)).start()
    elif name == "changed":
        TOOLS.append({"name": "extra", "inputSchema": {"type": "object"}})
        send({"jsonrpc": "2.0", "method": "notifications/tools/list_changed"})
        answer(request_id, text("changed"))
    elif name == "reject":
        send({"jsonrpc": "2.0", "id": request_id, "error": {"code": -32000, "message": "rejected as asked"}})
    elif name == "pid":
        answer(request_id, {"content": [], "structuredContent": {"pid": os.getpid()}})
    else:
        send({"jsonrpc": "2.0", "id": request_id, "error": {"code": -32602, "message": f"no tool {name}"}})


def main() -> None:
    args = sys.argv[1:]
    if "--exit-at-once" in args:
        sys.stderr.write("fault server: exiting at once as asked\n")
        sys.exit(int(args[args.index("--exit-at-once") + 1]))
    mute = "--mute" in args
    if "--stubborn" in args:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    version = args[args.index("--version") + 1] if "--version" in args else None
    if mute:
        sys.stderr.write("fault server: mute\n")
        sys.stderr.flush()
    for line in sys.stdin:
        if mute:
            continue
        message = json.loads(line)
        method, request_id = message.get("method"), message.get("id")
        params = message.get("params") or {}
        if method is None:  # an answer to one of our requests
            answers[request_id] = message.get("result", message.get("error"))
            if "s-1" in answers and "s-2" in answers:
                answer(
                    asked["s-1"],
                    {"content": [], "structuredContent": {"sampling": answers["s-1"], "ping": answers["s-2"]}},
                )
        elif method == "initialize":
            result = {
                "protocolVersion": version or params["protocolVersion"],
                "capabilities": {"tools": {"listChanged": True}},
                "serverInfo": {"name": "fault", "version": "1"},
            }
            answer(request_id, result)
        elif method == "tools/list":
            half = len(TOOLS) // 2
            if params.get("cursor") == "page-2":
                answer(request_id, {"tools": TOOLS[half:]})
            else:
                answer(request_id, {"tools": TOOLS[:half], "nextCursor": "page-2"})
        elif method == "tools/call":
            call(request_id, params["name"], params.get("arguments") or {})
        elif method == "notifications/cancelled":
            cancelled.append(params.get("requestId"))
        elif request_id is not None:
            send({"jsonrpc": "2.0", "id": request_id, "error": {"code": -32601, "message": "Method not found"}})
    if "--stubborn" in args:
        threading.Event().wait()


if __name__ == "__main__":
    main()
