"""Serve GraphQL over HTTP with uvicorn: ``python -m zarn serve [options]``.

It serves the tools of configured servers through a `Gateway` (``--servers``),
or a catalogue with the sample handlers (``--demo``) or placeholders. One
process serves by default; ``--workers N`` runs N worker processes under
uvicorn's supervisor, each with its own engine and host (the way to use more
than one core). The workers get their options through the environment
(``ZARN_SERVE_OPTIONS``, JSON; the token stays in its file) and build their app
with `app_from_environment`, uvicorn's factory. Ctrl-C stops everything: each
worker closes its host at the end of the ASGI lifespan, or at exit when a second
Ctrl-C cuts the graceful shutdown short.
"""

from __future__ import annotations

import argparse
import atexit
import copy
import ipaddress
import json
import logging
import os
import socket
import sys
from collections.abc import Sequence
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any, Final

from zarn._graphql import SchemaEngine
from zarn.access import LOOPBACK_HOSTS
from zarn.asgi import MIB, GraphQLApp
from zarn.demo import demo_handlers, demo_input_schemas
from zarn.gateway import ConfigError, Gateway
from zarn.host import ToolHost

__all__ = ["ServeOptions", "app_from_environment", "create_app", "main"]

PROG: Final = "python -m zarn serve"
OPTIONS_VARIABLE: Final = "ZARN_SERVE_OPTIONS"

logger = logging.getLogger(__name__)


class UsageError(Exception):
    """Options that cannot be served; the message says which and why."""


@dataclass(frozen=True)
class ServeOptions:
    """What one worker needs to build its app."""

    servers: str | None = None  # a tool server configuration: serve a Gateway
    catalogue: str | None = None  # a catalogue file; None: the sample catalogue
    demo: bool = False
    path: str = "/graphql"
    token_file: str | None = None
    cors_origins: list[str] = field(default_factory=list)
    allowed_hosts: list[str] | None = None  # the Host names answered; None: any
    max_body_bytes: int = 10 * MIB
    max_query_length: int = 100_000
    max_fields: int = 100
    explorer: bool = True
    introspection: bool = True


def read_token(path: str) -> str:
    """The bearer token in `path`: its text without surrounding blanks."""
    try:
        token = Path(path).read_text("utf-8").strip()
    except (OSError, UnicodeDecodeError) as error:
        raise UsageError(f"cannot read token file {path!r}: {error}") from None
    if not token:
        raise UsageError(f"token file {path!r} is empty")
    if not token.isascii() or any(character.isspace() for character in token):
        raise UsageError(f"token file {path!r} must hold one token of ASCII characters without blanks")
    return token


def _catalogue_text(options: ServeOptions) -> str:
    if options.catalogue is None:
        from zarn import sample_catalogue

        return sample_catalogue()
    try:
        return Path(options.catalogue).read_text("utf-8")
    except (OSError, UnicodeDecodeError) as error:
        raise UsageError(f"cannot read catalogue {options.catalogue!r}: {error}") from None


InputSchemas = dict[tuple[str, str], dict[str, Any]]


def _target(options: ServeOptions) -> tuple[SchemaEngine | ToolHost | Gateway, InputSchemas | None]:
    """What to serve, and the input schemas of its tools when they are known beside it."""
    if options.servers is not None:
        try:
            return Gateway.from_config(options.servers), None  # it closes itself at exit if still open
        except ConfigError as error:
            raise UsageError(str(error)) from None
    try:
        engine = SchemaEngine(_catalogue_text(options))
    except ValueError as error:
        raise UsageError(f"catalogue {options.catalogue or '(sample)'}: {error}") from None
    if not options.demo:
        return engine, None
    host = ToolHost(engine)
    handlers, schemas = demo_handlers(), demo_input_schemas()
    inputs: InputSchemas = {}
    for server, tool in host.unhandled_tools():  # the sample tools that this catalogue has
        if (handler := handlers.get((server, tool))) is not None:
            host.add_tool(server, tool, handler)
            inputs[server, tool] = schemas[server, tool]
    atexit.register(host.close)
    return host, inputs


def create_app(options: ServeOptions) -> GraphQLApp:
    """The app for one worker, with an engine (and a host or a gateway) of its own.

    A host or gateway is started by the app's lifespan and closed at its end,
    or at exit when the server stops without a lifespan shutdown.
    """
    target, input_schemas = _target(options)
    return GraphQLApp(
        target,
        path=options.path,
        token=read_token(options.token_file) if options.token_file is not None else None,
        cors_origins=options.cors_origins,
        allowed_hosts=options.allowed_hosts,
        max_body_bytes=options.max_body_bytes,
        max_query_length=options.max_query_length,
        max_fields=options.max_fields,
        manage=not isinstance(target, SchemaEngine),
        introspection=options.introspection,
        input_schemas=input_schemas if options.introspection else None,
        explorer=options.explorer,
    )


def app_from_environment() -> GraphQLApp:
    """uvicorn's factory in each worker process: the options come from ``ZARN_SERVE_OPTIONS``."""
    text = os.environ.get(OPTIONS_VARIABLE)
    if text is None:
        raise RuntimeError(f"{OPTIONS_VARIABLE} is not set: start workers with {PROG} --workers N")
    return create_app(ServeOptions(**json.loads(text)))


def is_loopback(host: str) -> bool:
    """Whether every address `host` names is a loopback address."""
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        pass
    try:
        addresses = {info[4][0] for info in socket.getaddrinfo(host, None)}
    except OSError:
        return False
    return bool(addresses) and all(
        ipaddress.ip_address(str(address).split("%")[0]).is_loopback for address in addresses
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Serve GraphQL over HTTP: POST and GET at one path, one log line per request.",
        epilog="example: python -m zarn serve --demo --port 8000",
    )
    source = parser.add_argument_group("what to serve")
    source.add_argument(
        "--servers",
        metavar="FILE",
        help='tool server configuration ("mcpServers" JSON): serve these servers\' tools through a gateway',
    )
    source.add_argument(
        "-c",
        "--catalogue",
        metavar="FILE",
        help="catalogue JSON file (default: the sample catalogue that ships with zarn)",
    )
    source.add_argument(
        "--demo", action="store_true", help="answer tool calls with the sample handlers instead of placeholders"
    )
    network = parser.add_argument_group("where")
    network.add_argument("--host", default="127.0.0.1", help="address to bind (default: 127.0.0.1)")
    network.add_argument("--port", type=int, default=8000, help="port to bind (default: 8000)")
    network.add_argument("--path", default="/graphql", help="the endpoint's path (default: /graphql)")
    network.add_argument(
        "--workers", type=int, default=1, metavar="N", help="worker processes, each with its own engine (default: 1)"
    )
    access = parser.add_argument_group("who")
    access.add_argument(
        "--token-file", metavar="FILE", help="require Authorization: Bearer <the token in FILE> on every request"
    )
    access.add_argument(
        "--insecure", action="store_true", help="allow binding to an address that is not loopback without a token"
    )
    access.add_argument(
        "--cors-origin",
        action="append",
        default=[],
        metavar="ORIGIN",
        help='let browsers call from ORIGIN (repeatable; "*" for any); CORS is off otherwise',
    )
    access.add_argument(
        "--allowed-host",
        action="append",
        default=[],
        metavar="NAME",
        help="answer only requests whose Host is NAME (repeatable); without a token on loopback, "
        "the default is localhost, 127.0.0.1 and ::1, against DNS rebinding",
    )
    tooling = parser.add_argument_group("GraphQL tooling")
    tooling.add_argument(
        "--no-explorer",
        dest="explorer",
        action="store_false",
        help="serve no GraphiQL page to browsers (by default a GET that prefers text/html gets it)",
    )
    tooling.add_argument(
        "--no-introspection",
        dest="introspection",
        action="store_false",
        help="leave __schema and __type to the engine, which does not answer them",
    )
    limits = parser.add_argument_group("limits")
    limits.add_argument("--max-body-bytes", type=int, default=10 * MIB, metavar="N", help="(default: 10 MiB)")
    limits.add_argument(
        "--max-query-length", type=int, default=100_000, metavar="N", help="characters (default: 100000)"
    )
    limits.add_argument("--max-fields", type=int, default=100, metavar="N", help="top-level fields (default: 100)")
    parser.add_argument(
        "--log-level",
        default="info",
        choices=["critical", "error", "warning", "info", "debug"],
        help="info logs one line per request (default: info)",
    )
    return parser


def _log_config(level: str) -> dict[str, Any]:
    from uvicorn.config import LOGGING_CONFIG

    config = copy.deepcopy(LOGGING_CONFIG)
    config["loggers"]["zarn"] = {"handlers": ["default"], "level": level.upper(), "propagate": False}
    return config


def options_from(args: argparse.Namespace) -> ServeOptions:
    if args.servers is not None and (args.catalogue is not None or args.demo):
        raise UsageError("--servers cannot be combined with --catalogue or --demo")
    if args.workers < 1:
        raise UsageError("--workers must be at least 1")
    if not 0 <= args.port <= 65535:
        raise UsageError(f"--port {args.port} is not a port number")
    if not args.path.startswith("/"):
        raise UsageError(f"--path {args.path!r} must start with /")
    # Without a token, a loopback address is what keeps others out.
    tokenless_loopback = args.token_file is None and is_loopback(args.host)
    if args.token_file is None and not args.insecure and not tokenless_loopback:
        raise UsageError(
            f"{args.host} is not a loopback address: anyone who reaches it could run the tools; "
            "give --token-file, or --insecure if that is what you want"
        )
    allowed_hosts: list[str] | None = list(args.allowed_host) or None
    if allowed_hosts is None and tokenless_loopback:
        # Without a token, a loopback server trusts whoever reaches it: not a web page that
        # rebinds its own name to this address (the browser would send that name as Host).
        allowed_hosts = list(dict.fromkeys([*LOOPBACK_HOSTS, args.host]))
    return ServeOptions(
        servers=str(Path(args.servers).resolve()) if args.servers is not None else None,
        catalogue=str(Path(args.catalogue).resolve()) if args.catalogue is not None else None,
        demo=args.demo,
        path=args.path,
        token_file=str(Path(args.token_file).resolve()) if args.token_file is not None else None,
        cors_origins=list(args.cors_origin),
        allowed_hosts=allowed_hosts,
        max_body_bytes=args.max_body_bytes,
        max_query_length=args.max_query_length,
        max_fields=args.max_fields,
        explorer=args.explorer,
        introspection=args.introspection,
    )


def main(argv: Sequence[str] | None = None) -> int:
    import uvicorn

    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:
        return stop.code if isinstance(stop.code, int) else 0 if stop.code is None else 2
    try:
        options = options_from(args)
        app = create_app(options)  # every worker builds the same: fail here, once, on bad options
    except (UsageError, ValueError) as error:
        sys.stderr.write(f"{PROG}: error: {error}\n")
        return 2

    common: dict[str, Any] = {
        "host": args.host,
        "port": args.port,
        "lifespan": "on",
        "access_log": False,  # the app logs one line per request
        "log_config": _log_config(args.log_level),
        "log_level": args.log_level,
        "timeout_graceful_shutdown": 30,
    }
    scheme_host = f"[{args.host}]" if ":" in args.host else args.host
    sys.stderr.write(f"{PROG}: GraphQL at http://{scheme_host}:{args.port}{options.path}\n")
    if args.workers == 1:
        try:
            uvicorn.run(app, **common)
        finally:
            if isinstance(app.target, ToolHost | Gateway):
                app.target.close()
        return 0
    # The parent serves nothing: each worker builds its own app from the options.
    del app
    os.environ[OPTIONS_VARIABLE] = json.dumps(asdict(options))
    uvicorn.run("zarn.serve:app_from_environment", factory=True, workers=args.workers, **common)
    return 0
