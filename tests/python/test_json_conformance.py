"""The C++ JSON reader and writer against Python's json module.

zarn_json_echo (built with the C++ tests) reads a file and prints the writer's
text of it. Every text the json module accepts among the JSONTestSuite y_ cases,
and random documents, must come out exactly as the canonical writer below
writes json.loads' value: keys sorted, compact, the zarn double layout.
"""

from __future__ import annotations

import json
import math
import os
import subprocess
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

ECHO = os.environ.get("ZARN_JSON_ECHO")
pytestmark = pytest.mark.skipif(not ECHO, reason="ZARN_JSON_ECHO is not set (point it at the zarn_json_echo binary)")

SUITE = Path(__file__).resolve().parents[1] / "data" / "JSONTestSuite" / "test_parsing"
YES = sorted(SUITE.glob("y_*.json"))
NO = sorted(SUITE.glob("n_*.json"))

U64_MAX = 2**64 - 1
I64_MIN = -(2**63)


def read_like_zarn(text: str) -> object:
    """json.loads, with numbers typed as the zarn reader types them."""

    def integer(token: str) -> int | float:
        if token == "-0":
            return -0.0
        value = int(token)
        if 0 <= value <= U64_MAX or I64_MIN <= value < 0:
            return value
        return float(value)  # correctly rounded, as the C++ reader does

    return json.loads(text, parse_int=integer)


def format_double(d: float) -> str:
    if not math.isfinite(d):
        return "null"
    if d == 0:
        return "-0.0" if math.copysign(1.0, d) < 0 else "0.0"
    sign = "-" if d < 0 else ""
    # repr gives the shortest round-trip digits; take them and their exponent.
    mantissa, _, exp = repr(abs(d)).partition("e")
    whole, _, fraction = mantissa.partition(".")
    all_digits = whole + fraction
    leading = len(all_digits) - len(all_digits.lstrip("0"))
    digits = all_digits.strip("0")
    e = len(whole) - 1 - leading + (int(exp) if exp else 0)
    if 0 <= e <= 15:
        if len(digits) <= e + 1:
            return sign + digits + "0" * (e + 1 - len(digits)) + ".0"
        return sign + digits[: e + 1] + "." + digits[e + 1 :]
    if -5 <= e < 0:
        return sign + "0." + "0" * (-e - 1) + digits
    rest = "." + digits[1:] if len(digits) > 1 else ""
    return f"{sign}{digits[0]}{rest}e{'-' if e < 0 else '+'}{abs(e)}"


SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def format_string(s: str) -> str:
    out = ['"']
    for ch in s:
        if ch in SHORT_ESCAPES:
            out.append(SHORT_ESCAPES[ch])
        elif ord(ch) < 0x20:
            out.append(f"\\u{ord(ch):04x}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def canonical(value: object) -> str:
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return format_double(value)
    if isinstance(value, str):
        return format_string(value)
    if isinstance(value, list):
        return "[" + ",".join(canonical(v) for v in value) + "]"
    assert isinstance(value, dict)
    # Code point order of str keys is the byte order of their UTF-8.
    return "{" + ",".join(format_string(k) + ":" + canonical(v) for k, v in sorted(value.items())) + "}"


def echo(path: Path) -> subprocess.CompletedProcess[bytes]:
    assert ECHO is not None
    return subprocess.run([ECHO, str(path)], capture_output=True, timeout=30)


def test_suite_is_present() -> None:
    assert len(YES) == 95 and len(NO) == 188, f"JSONTestSuite not found under {SUITE}"


@pytest.mark.parametrize("path", YES, ids=lambda p: p.name)
def test_accepted_case_reads_as_python_reads_it(path: Path) -> None:
    expected = canonical(read_like_zarn(path.read_bytes().decode("utf-8")))
    result = echo(path)
    assert result.returncode == 0, result.stdout.decode(errors="replace")
    assert result.stdout.decode("utf-8") == expected


@pytest.mark.parametrize("path", NO, ids=lambda p: p.name)
def test_rejected_case_gives_a_positioned_error(path: Path) -> None:
    result = echo(path)
    assert result.returncode == 1
    message = result.stdout.decode("utf-8")
    assert message.startswith("error: ") and " at line " in message and " column " in message


@pytest.mark.parametrize(
    ("value", "text"),
    [
        (2.0, "2.0"),
        (1e21, "1e+21"),
        (0.000001, "1e-6"),
        (0.00001, "0.00001"),
        (0.0001, "0.0001"),
        (100.0, "100.0"),
        (1e15, "1000000000000000.0"),
        (1e16, "1e+16"),
        (1.5e-7, "1.5e-7"),
        (-0.0, "-0.0"),
        (123.456, "123.456"),
        (5e-324, "5e-324"),
    ],
)
def test_canonical_double_layout(value: float, text: str) -> None:
    # The reference itself must follow the layout, or the comparisons prove nothing.
    assert format_double(value) == text


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(min_value=-(10**25), max_value=10**25)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(),
    lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(max_size=8), children, max_size=5),
    max_leaves=30,
)


@settings(max_examples=150, deadline=None)
@given(value=json_values, ensure_ascii=st.booleans(), indent=st.sampled_from([None, 1, "\t"]))
def test_random_documents_read_as_python_reads_them(
    tmp_path_factory: pytest.TempPathFactory, value: object, ensure_ascii: bool, indent: int | str | None
) -> None:
    text = json.dumps(value, ensure_ascii=ensure_ascii, indent=indent)
    path = tmp_path_factory.mktemp("doc") / "doc.json"
    path.write_text(text, encoding="utf-8")
    result = echo(path)
    assert result.returncode == 0, result.stdout.decode(errors="replace")
    assert result.stdout.decode("utf-8") == canonical(read_like_zarn(text))
