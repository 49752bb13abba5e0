#!/usr/bin/env bash
# Reference-count leak check: builds the module for the debug interpreter
# (python3.14-dbg, whose sys.gettotalrefcount counts every reference) in its
# own venv and build directory, then runs tests/python/test_leaks.py there.
# Extra arguments go to pytest. Runs inside the development root when the
# debug interpreter is not on PATH.
#
# The module is compiled with -DPy_DEBUG: the distribution's debug headers
# may resolve to the release pyconfig.h when the include directory is
# passed with -isystem (as CMake does), and a module built that way does
# its reference counting outside the debug interpreter's totals, so the
# check would report drift that is not there.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON_DBG:-python3.14-dbg}
venv=.venv-dbg
if command -v "$python" >/dev/null 2>&1; then in=(); else in=(../shared/devroot/run); fi

[ -x "$venv/bin/python" ] || "${in[@]}" "$python" -m venv --system-site-packages "$venv"
"${in[@]}" "$venv/bin/python" -c 'import sys; sys.gettotalrefcount' ||
    { echo "$venv is not a debug interpreter" >&2; exit 1; }
"${in[@]}" "$venv/bin/pip" install --no-build-isolation --no-deps --quiet \
    -C build-dir=build/wheel-dbg -C cmake.define.CMAKE_CXX_FLAGS=-DPy_DEBUG .
"${in[@]}" "$venv/bin/python" -c \
    'import pathlib, sys, zarn._graphql as m
sys.exit(0 if b"_Py_DECREF_DecRefTotal" in pathlib.Path(m.__file__).read_bytes() else "the module was not built with Py_DEBUG")'
"${in[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python/test_leaks.py "$@"
