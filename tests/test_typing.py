"""The type stubs agree with the built module (mypy's stubtest); the
examples and the package's Python code type-check under mypy --strict, and
the examples run."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def run(args, cwd):
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=600)


@pytest.mark.slow
def test_stubs_match_the_built_module(tmp_path):
    out = run(["mypy.stubtest", "_hovra", "hovra"], tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr
    # _hovra, hovra and the package's submodules (the LangChain store, the CLI, Ray, ...).
    checked = re.search(r"(?:checked|in) (\d+) modules", out.stdout)
    assert checked and int(checked.group(1)) >= 5, out.stdout


@pytest.mark.slow
def test_examples_and_package_type_check(tmp_path):
    out = run(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "examples", "python/hovra"], ROOT)
    assert out.returncode == 0, out.stdout + out.stderr


@pytest.mark.parametrize("example", sorted(p.name for p in (ROOT / "examples").glob("*.py")))
def test_example_runs(tmp_path, example):
    out = subprocess.run(
        [sys.executable, str(ROOT / "examples" / example)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert out.returncode == 0, out.stdout + out.stderr
