import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parents[2]


def run(*args: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=ROOT, capture_output=True, text=True, timeout=300, check=False, env=env
    )


@pytest.mark.timeout(300)
def test_mypy_strict_on_the_package_examples_and_the_typing_sample() -> None:
    # The sample's `type: ignore` comments must each silence a real error
    # (--strict warns about unused ones), so a stub that is too loose fails too.
    env = dict(os.environ, MYPYPATH=str(ROOT / "src"))
    done = run("mypy", "--strict", "--no-incremental", "src/zarn", "examples", "tests/typing", env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.startswith("Success: no issues found")


@pytest.mark.timeout(300)
def test_stubs_agree_with_the_built_module() -> None:
    done = run("mypy.stubtest", "zarn._graphql")
    assert done.returncode == 0, done.stdout + done.stderr
