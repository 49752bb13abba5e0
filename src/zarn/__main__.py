"""Run one GraphQL query against a catalogue: ``python -m zarn [options] [QUERY]``.

``python -m zarn serve [options]`` serves GraphQL over HTTP instead (`zarn.serve`).

The response document goes to standard output; the exit status is 0 for a
success document, 1 for an error document (its message also goes to standard
error) and 2 for bad usage.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import sys
from collections.abc import Iterator, Sequence
from pathlib import Path

from zarn import SchemaEngine, ToolHost, sample_catalogue
from zarn.demo import DEMO_QUERY, demo_handlers, demo_input_schemas
from zarn.gateway import ConfigError, Gateway, ServerStartError
from zarn.toolspec import search_entries

PROG = "python -m zarn"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Run a GraphQL query against a tool catalogue and print the response document.",
        epilog="example: python -m zarn --demo --pretty '{ servers { name } files_search(query: \"docs\") }'",
    )
    parser.add_argument(
        "query",
        nargs="?",
        help='the GraphQL query; "-" reads it from standard input, as leaving it out does when standard input '
        "is not a terminal (with --demo and no query: a demonstration query)",
    )
    parser.add_argument(
        "-c",
        "--catalogue",
        metavar="FILE",
        type=Path,
        help="catalogue JSON file (default: the sample catalogue that ships with zarn)",
    )
    parser.add_argument("--variables", metavar="JSON", help="the query's variables, a JSON object (null: none)")
    parser.add_argument("--pretty", action="store_true", help="indent the response document")
    parser.add_argument(
        "-v", "--verbose", action="store_true", help="log more, with the traceback of every tool that fails"
    )
    parser.add_argument(
        "--demo",
        action="store_true",
        help="answer tool calls with the sample handlers (for the sample catalogue's tools) instead of placeholders",
    )
    parser.add_argument(
        "--servers",
        metavar="FILE",
        type=Path,
        help='tool server configuration ("mcpServers" JSON): run the query against these servers',
    )
    parser.add_argument(
        "--list", action="store_true", help="with --servers: print the fields of the servers' tools instead of a query"
    )
    parser.add_argument(
        "--sdl",
        action="store_true",
        help="print the GraphQL schema (SDL) of the tools instead of running a query (needs graphql-core)",
    )
    return parser


class _Formatter(logging.Formatter):
    """One line a record; tracebacks only when asked for."""

    def __init__(self, tracebacks: bool) -> None:
        super().__init__(f"{PROG}: %(name)s: %(message)s")
        self._tracebacks = tracebacks

    def formatException(self, ei: logging._SysExcInfoType) -> str:
        return super().formatException(ei) if self._tracebacks else ""


@contextlib.contextmanager
def logging_to_stderr(verbose: bool) -> Iterator[None]:
    """The package's log on standard error while the command runs."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_Formatter(tracebacks=verbose))
    logger = logging.getLogger("zarn")
    level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.INFO if verbose else logging.WARNING)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)


def run_servers(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    """Start the configured servers, then list their fields or run the query against them."""
    if args.catalogue is not None or args.demo:
        parser.error("--servers cannot be combined with --catalogue or --demo")
    try:
        gateway = Gateway.from_config(args.servers)
    except ConfigError as error:
        sys.stderr.write(f"{PROG}: {error}\n")
        return 2
    query = None if args.list or args.sdl else read_query(args, parser)
    try:
        gateway.start()
    except ServerStartError as error:
        sys.stderr.write(f"{PROG}: {error}\n")
        return 2
    try:
        if args.sdl:
            sys.stdout.write(gateway.schema_sdl() + "\n")
            return 0
        if query is None:
            for spec in gateway.tools:
                flag = "read-only" if spec.read_only else "not read-only"
                sys.stdout.write(f"{spec.field}\t{spec.server}\t{spec.name}\t{flag}\n")
            for collision in gateway.collisions:
                sys.stdout.write(f"collision: {collision}\n")
            return 0
        return report(gateway.execute(query, variables_of(args)), args)
    finally:
        gateway.close()


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if args.sdl and (args.list or args.query is not None or args.variables is not None):
        parser.error("--sdl prints the schema: it takes no query, --variables or --list")
    if args.sdl:
        try:
            import graphql  # noqa: F401
        except ImportError:
            parser.error("--sdl needs graphql-core (pip install graphql-core)")
    if args.servers is not None:
        return run_servers(args, parser)
    if args.list:
        parser.error("--list needs --servers")
    if args.catalogue is None:
        catalogue = sample_catalogue()
    else:
        try:
            catalogue = args.catalogue.read_text("utf-8")
        except (OSError, UnicodeDecodeError) as error:
            parser.error(f"cannot read catalogue {str(args.catalogue)!r}: {error}")
    try:
        engine = SchemaEngine(catalogue)
    except ValueError as error:
        parser.error(str(error))

    if args.sdl:
        from zarn.schema import schema_sdl

        # With --demo the sample handlers' arguments are known.
        schemas = demo_input_schemas() if args.demo else {}
        tools = {(entry["server"], entry["tool"]) for entry in search_entries(engine)}
        inputs = {pair: schema for pair, schema in schemas.items() if pair in tools}
        sys.stdout.write(schema_sdl(engine, input_schemas=inputs) + "\n")
        return 0
    query = read_query(args, parser)
    if args.demo:
        with demo_host(engine) as host:
            text = host.execute(query, variables_of(args))
    else:
        text = engine.execute(query, variables_of(args))
    return report(text, args)


def variables_of(args: argparse.Namespace) -> str | None:
    # HTTP clients send null for "no variables"; so may a shell script.
    text: str | None = args.variables
    return None if text is not None and text.strip() == "null" else text


def report(text: str, args: argparse.Namespace) -> int:
    """Print the response document; the exit status: 0 for success, 1 for an error document."""
    document = json.loads(text)
    sys.stdout.write((json.dumps(document, indent=2, ensure_ascii=False) if args.pretty else text) + "\n")
    if document["data"] is None:
        for entry in document["errors"]:
            sys.stderr.write(f"{PROG}: {entry['message']}\n")
        return 1
    return 0


def demo_host(engine: SchemaEngine) -> ToolHost:
    """A host with the sample handlers of the tools that the engine's catalogue has."""
    host = ToolHost(engine)
    handlers = demo_handlers()
    for server, tool in host.unhandled_tools():
        if (handler := handlers.get((server, tool))) is not None:
            host.add_tool(server, tool, handler)
    return host


def read_query(args: argparse.Namespace, parser: argparse.ArgumentParser) -> str:
    query: str | None = args.query
    if query == "-":
        return "" if sys.stdin is None else sys.stdin.read()
    if query is not None:
        return query
    # Left out, the query is read from standard input unless that is a
    # terminal, where "-" asks for it; the demo has a query of its own.
    interactive = sys.stdin is None or sys.stdin.isatty()
    text = "" if interactive else sys.stdin.read()
    if not text.strip() and args.demo and args.catalogue is None:
        return DEMO_QUERY
    if interactive:
        parser.error("no query: give it as an argument or on standard input")
    return text


def main(argv: Sequence[str] | None = None) -> int:
    arguments = sys.argv[1:] if argv is None else list(argv)
    if arguments[:1] == ["serve"]:  # python -m zarn serve: GraphQL over HTTP
        from zarn.serve import main as serve

        return serve(arguments[1:])
    parser = build_parser()
    try:
        args = parser.parse_args(arguments)
        with logging_to_stderr(args.verbose):
            return run(args, parser)
    except SystemExit as stop:  # argparse reports bad usage (and --help) this way
        return stop.code if isinstance(stop.code, int) else 0 if stop.code is None else 2


if __name__ == "__main__":
    sys.exit(main())
