"""A real host: attach the call bridge, answer tool calls from a service thread.

The thread that calls ``execute`` blocks until every tool field has a value, so
tool calls are answered by other threads: here one service thread that pulls
requests with ``receive_tool_call`` and answers them with plain Python functions.
"""

import json
import threading
from collections.abc import Callable
from typing import Any

import zarn

Handler = Callable[[dict[str, Any]], Any]

HANDLERS: dict[tuple[str, str], Handler] = {
    ("files", "search"): lambda args: {"hits": [f"{args.get('query', '')}.md"], "total": 1},
    ("files", "read-file"): lambda args: {"path": args["path"], "text": "# Hello\n"},
    ("weather", "forecast"): lambda args: [
        {"day": day + 1, "city": args.get("city", "?"), "high": 20 + day} for day in range(args.get("days", 1))
    ],
}


def serve(engine: zarn.SchemaEngine, stop: threading.Event) -> None:
    while not stop.is_set():
        text = engine.receive_tool_call(50)
        if text is None:
            continue
        request = json.loads(text)
        handler = HANDLERS.get((request["server"], request["tool"]))
        if handler is None:
            engine.fail_tool_call(request["request_id"], f"no handler for {request['server']}.{request['tool']}")
            continue
        try:
            result = handler(request["arguments"])
        except Exception as error:  # a failing tool becomes a tool error object
            engine.fail_tool_call(request["request_id"], str(error))
        else:
            engine.respond_tool_call(request["request_id"], json.dumps(result))


def main() -> None:
    engine = zarn.SchemaEngine(zarn.sample_catalogue())
    engine.attach_call_bridge()
    stop = threading.Event()
    worker = threading.Thread(target=serve, args=(engine, stop), name="tool-service")
    worker.start()
    try:
        query = """
        query Demo($city: String) {
          hits: files_search(query: "graphql")
          readme: files_read_file(path: "README.md")
          weather_forecast(city: $city, days: 2)
          tracker_create_issue(title: "no handler for this one")
        }"""
        print(engine.execute(query, json.dumps({"city": "Oslo"})))
    finally:
        stop.set()
        engine.detach_call_bridge()  # ends any call still waiting
        worker.join()


if __name__ == "__main__":
    main()
