"""Top costs of a callgrind profile, with short function names:
`python bench/callgrind_summary.py callgrind.out [--top 12] [--inclusive]`.

Runs callgrind_annotate and shortens each function to its qualified name
without parameters, template arguments, ABI tags or library path, so a line
reads "12.3%  zarn::json::(anon)::Reader::parse_string".
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys

# Frames of the benchmark harness, left out of the summary.
_HARNESS = ("benchmark::", "__libc_start", "below main", "::BM_", "::run_query")
_LINE = re.compile(r"^\s*([\d,]+)\s+\(\s*([\d.]+)%\)\s+(.*)$")


def _strip_nested(text: str, opening: str, closing: str) -> str:
    out, depth = [], 0
    for c in text:
        if c == opening:
            depth += 1
        elif c == closing and depth:
            depth -= 1
        elif depth == 0:
            out.append(c)
    return "".join(out)


def short_name(entry: str) -> str:
    """'file:function [object]' to a readable function name."""
    entry = re.sub(r"\s\[[^\]]*\]$", "", entry)  # the object file
    entry = entry.replace("(anonymous namespace)", "(anon)")
    _, _, function = entry.partition(":") if not entry.startswith("???") else ("", "", entry[4:])
    function = function or entry
    function = function.replace("(anon)", "\0")
    function = _strip_nested(function, "(", ")")
    function = _strip_nested(function, "<", ">").replace("\0", "(anon)")
    function = re.sub(r"\[abi:[^\]]*\]|'\d+| const$| \[clone[^\]]*\]", "", function)
    if function.startswith("decltype"):
        function = "std::variant visit (" + ("move" if "Move" in entry else "reset/copy") + ")"
    return function.strip()


def summary(path: str, top: int, inclusive: bool) -> list[tuple[float, str]]:
    out = subprocess.run(
        ["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}", "--threshold=100", path],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    rows: dict[str, float] = {}
    for line in out.splitlines():
        match = _LINE.match(line)
        if match is None or "PROGRAM TOTALS" in line:
            continue
        name = short_name(match.group(3))
        if not name or name == "main" or name.startswith("0x") or any(part in name for part in _HARNESS):
            continue
        share = float(match.group(2))
        # Recursive calls show up as name'2, name'3: their self costs add up,
        # but each inclusive cost already holds the deeper ones.
        rows[name] = max(rows.get(name, 0.0), share) if inclusive else rows.get(name, 0.0) + share
    ranked = sorted(rows.items(), key=lambda item: -item[1])
    return [(share, name) for name, share in ranked[:top]]


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("profile")
    parser.add_argument("--top", type=int, default=12)
    parser.add_argument("--inclusive", action="store_true")
    options = parser.parse_args()
    for share, name in summary(options.profile, options.top, options.inclusive):
        print(f"{share:5.1f}%  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
