"""Instructions that the module spends per call on each text argument, counted
by callgrind: `python bench/text_cost.py [--reused] [--only catalogue,query]`.

Each measurement runs in a process of its own under valgrind, collecting only
inside the module's method (`engine_new`, `engine_execute`,
`engine_respond_tool_call`, `engine_fail_tool_call`), with a fresh `str` per
call made outside it (or, with --reused, the same one every time). A catalogue
is a whole construction; a query or variables text a whole execute (detached);
a reply text or failure message a call for a request id that is not pending,
which converts and copies the text and then finds nothing to answer.

`python bench/text_cost.py --run ARGUMENT KIND CALLS [--reused]` is what runs
under valgrind.
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads as wl  # noqa: E402

# (argument, the method that converts it, calls per measurement)
ARGUMENTS = {
    "catalogue": ("engine_new", 3),
    "query": ("engine_execute", 200),
    "variables": ("engine_execute", 10),
    "reply": ("engine_respond_tool_call", 10),
    "message": ("engine_fail_tool_call", 200),
}
KINDS = ["ascii", "latin1", "ucs2", "ucs4"]


def in_kind(text: str, kind: str) -> str:
    """`text` with its prose in the storage kind named: ASCII as it is; the
    non-ASCII words of workloads.non_ascii (UCS-2), cut to Latin-1, or with an
    astral character among them (UCS-4)."""
    if kind == "ascii":
        return text
    changed = wl.non_ascii(text)
    if kind == "latin1":
        return "".join(c if ord(c) < 0x100 else "é" for c in changed)
    if kind == "ucs4":
        return changed.replace("“", "🚀")
    return changed


def texts(argument: str, kind: str) -> tuple[Callable[[Any, str], Any], str]:
    """The call to measure and the text it is given."""
    import zarn

    if argument == "catalogue":
        return lambda _engine, text: zarn.SchemaEngine(text), in_kind(wl.make_catalogue(10_000, 100)[1], kind)
    if argument == "reply":
        engine = zarn.SchemaEngine()
        return lambda _e, text: engine.respond_tool_call("tool-call-1", text), in_kind(
            wl.large_variables(100_000), kind
        )
    if argument == "message":
        engine = zarn.SchemaEngine()
        return lambda _e, text: engine.fail_tool_call("tool-call-1", text), in_kind(
            "summary of the failure: " * 4, kind
        )
    tools, catalogue = wl.make_catalogue(1000, 10)
    engine = zarn.SchemaEngine(catalogue)
    if argument == "query":
        # W2's query, its first argument's text in the given kind
        query = wl.tool_fields_query([tools[i * 125] for i in range(8)]).replace(
            "term 0", in_kind("summary newest markdown 0", kind)
        )
        return lambda _e, text: engine.execute(text), query
    if argument == "variables":
        query = wl.LARGE_VARIABLES_QUERY_TEMPLATE.format(field=tools[0].field)
        return lambda _e, text: engine.execute(query, text), in_kind(wl.large_variables(1_000_000), kind)
    raise SystemExit(f"unknown argument {argument}")


def run(argument: str, kind: str, calls: int, reused: bool) -> None:
    call, text = texts(argument, kind)
    raw = text.encode("utf-8")
    copies = [text] * calls if reused else [raw.decode("utf-8") for _ in range(calls)]
    for copy in copies:
        call(None, copy)


def measure(argument: str, kind: str, reused: bool) -> float:
    method, calls = ARGUMENTS[argument]
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "callgrind.out"
        command = [
            "valgrind",
            "--tool=callgrind",
            "--collect-atstart=no",
            f"--toggle-collect=*{method}*",
            f"--callgrind-out-file={out}",
            sys.executable,
            __file__,
            "--run",
            argument,
            kind,
            str(calls),
            *(["--reused"] if reused else []),
        ]
        subprocess.run(command, check=True, capture_output=True)
        totals = re.search(r"^(?:summary|totals): (\d+)", out.read_text(), re.MULTILINE)
        if totals is None:
            raise SystemExit(f"no totals in the callgrind output of {argument} {kind}")
        return int(totals.group(1)) / calls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--run", nargs=3, metavar=("ARGUMENT", "KIND", "CALLS"))
    parser.add_argument("--reused", action="store_true", help="the same str on every call")
    parser.add_argument("--only", help="comma-separated arguments, e.g. catalogue,variables")
    options = parser.parse_args()
    if options.run:
        argument, kind, calls = options.run
        run(argument, kind, int(calls), options.reused)
        return
    chosen = options.only.split(",") if options.only else list(ARGUMENTS)
    print("| argument | " + " | ".join(KINDS) + " |")
    print("|---|" + "---:|" * len(KINDS))
    for argument in chosen:
        cells = [f"{measure(argument, kind, options.reused):,.0f}" for kind in KINDS]
        print(f"| {argument} | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
