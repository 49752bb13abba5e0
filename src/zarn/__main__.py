"""Run one GraphQL query against a catalogue: ``python -m zarn [options] [QUERY]``.

``python -m zarn serve [options]`` serves GraphQL over HTTP instead (`zarn.serve`).

The response document goes to standard output; the exit status is 0 for a
success document, 1 for an error document (its message also goes to standard
error) and 2 for bad usage.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Sequence
from pathlib import Path

from zarn import SchemaEngine, ToolHost, sample_catalogue
from zarn.demo import demo_handlers

PROG = "python -m zarn"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Run a GraphQL query against a tool catalogue and print the response document.",
        epilog="example: python -m zarn --demo --pretty '{ servers { name } files_search(query: \"docs\") }'",
    )
    parser.add_argument(
        "query", nargs="?", default="-", help='the GraphQL query; read from standard input when left out or "-"'
    )
    parser.add_argument(
        "-c",
        "--catalogue",
        metavar="FILE",
        type=Path,
        help="catalogue JSON file (default: the sample catalogue that ships with zarn)",
    )
    parser.add_argument("--variables", metavar="JSON", help="the query's variables, a JSON object")
    parser.add_argument("--pretty", action="store_true", help="indent the response document")
    parser.add_argument(
        "--demo",
        action="store_true",
        help="answer tool calls with the sample handlers (for the sample catalogue's tools) instead of placeholders",
    )
    return parser


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
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

    query: str = args.query
    if query == "-":
        if sys.stdin is None or sys.stdin.isatty():
            parser.error("no query: give it as an argument or on standard input")
        query = sys.stdin.read()

    if args.demo:
        with ToolHost(engine, demo_handlers()) as host:
            text = host.execute(query, args.variables)
    else:
        text = engine.execute(query, args.variables)

    document = json.loads(text)
    sys.stdout.write((json.dumps(document, indent=2, ensure_ascii=False) if args.pretty else text) + "\n")
    if document["data"] is None:
        for entry in document["errors"]:
            sys.stderr.write(f"{PROG}: {entry['message']}\n")
        return 1
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    arguments = sys.argv[1:] if argv is None else list(argv)
    if arguments[:1] == ["serve"]:  # python -m zarn serve: GraphQL over HTTP
        from zarn.serve import main as serve

        return serve(arguments[1:])
    parser = build_parser()
    try:
        return run(parser.parse_args(arguments), parser)
    except SystemExit as stop:  # argparse reports bad usage (and --help) this way
        return stop.code if isinstance(stop.code, int) else 0 if stop.code is None else 2


if __name__ == "__main__":
    sys.exit(main())
