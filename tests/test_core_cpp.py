"""The C++ tests of the core (cpp/tests), built with CMake into build/core-tests (at -O1, which
keeps the build short; later runs rebuild only what changed) and run: a failing C++ test fails
this test with the tests' output.  They need CMake (the test extra brings it) and a C++20
compiler; doctest, their framework, is one header kept in cpp/tests/third_party."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "core-tests"


def run(command, what, timeout):
    """Runs `command` in the source tree; a failure (or a timeout) fails the test with its output."""
    try:
        result = subprocess.run(command, check=False, cwd=ROOT, capture_output=True, text=True,
                                timeout=timeout)  # fmt: skip
    except subprocess.TimeoutExpired:
        pytest.fail(f"{what} took more than {timeout} s", pytrace=False)
    if result.returncode != 0:
        pytest.fail(f"{what} failed (exit status {result.returncode}):\n{result.stdout}{result.stderr}",
                    pytrace=False)  # fmt: skip
    return result.stdout


def test_the_core_passes_its_cpp_tests():
    cmake = shutil.which("cmake")
    assert cmake, "the core's C++ tests are built with CMake, which is not on the PATH"
    run([cmake, "-S", str(ROOT), "-B", str(BUILD), "-DZELKA_CORE_TESTS=ON", "-DZELKA_OPTIMISATION=-O1",
         f"-DPython_EXECUTABLE={sys.executable}"],
        "configuring the core's C++ tests",
        timeout=300)  # fmt: skip
    run([cmake, "--build", str(BUILD), "--target", "zelka_core_tests", "--parallel", "2"],
        "building the core's C++ tests", timeout=1800)  # fmt: skip
    report = run([str(BUILD / "cpp" / "tests" / "zelka_core_tests")], "the core's C++ tests", timeout=600)
    assert "Status: SUCCESS!" in report, report
