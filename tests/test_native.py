"""Builds the native test programs under tests/native with CMake and runs them."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

# Building the programs takes over a minute.
pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "native-tests"
PROGRAMS = sorted(p.stem for p in (ROOT / "tests" / "native").glob("test_*.cpp"))


@pytest.fixture(scope="module")
def built():
    if shutil.which("cmake") is None:
        pytest.fail("cmake is needed to build the native tests")
    subprocess.run(
        [
            "cmake",
            "-S",
            str(ROOT),
            "-B",
            str(BUILD),
            "-DHOVRA_NATIVE_TESTS=ON",
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython_EXECUTABLE={sys.executable}",
        ],
        check=True,
        capture_output=True,
    )
    subprocess.run(
        ["cmake", "--build", str(BUILD), "-j2", "--target", *PROGRAMS], check=True, capture_output=True
    )
    return BUILD


# Programs that test the hand-written vector kernels run once more with each
# lower instruction set forced, so that every form is tested on a processor
# that would otherwise only ever pick its best one.
KERNEL_PROGRAMS = ("test_exhaustive_scan", "test_hnsw_build", "test_quantize")
RUNS = [(p, None) for p in PROGRAMS] + [(p, level) for p in KERNEL_PROGRAMS for level in ("avx2", "portable")]


@pytest.mark.parametrize("program,simd", RUNS)
def test_native_program(built, program, simd):
    env = dict(os.environ)
    env.pop("HOVRA_SIMD", None)
    if simd:
        env["HOVRA_SIMD"] = simd
    result = subprocess.run([str(built / program)], capture_output=True, text=True, timeout=600, env=env)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
