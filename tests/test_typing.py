"""The installed package is typed: py.typed, a stub next to every compiled module with the
types of its records and functions, mypy passing on the package and, strict, on the examples."""

import importlib.machinery
import importlib.util
import pathlib
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
PACKAGE = pathlib.Path(importlib.util.find_spec("zelka").origin).parent


def mypy(*args, cwd):
    return subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(cwd / "cache"), *args],
                          check=False, capture_output=True, text=True, cwd=cwd)  # fmt: skip


def test_every_compiled_module_has_its_stub_next_to_it():
    assert (PACKAGE / "py.typed").is_file()
    modules = {
        path for suffix in importlib.machinery.EXTENSION_SUFFIXES for path in PACKAGE.rglob(f"*{suffix}")
    }
    assert {m.name.split(".")[0] for m in modules} >= {"simulator", "profiler", "run", "hlsbridge"}
    for module in modules:
        stub = module.with_name(module.name.split(".")[0] + ".pyi")
        assert stub.is_file(), f"no stub for {module.name}"
        compile(stub.read_text(encoding="utf-8"), str(stub), "exec")


def test_mypy_passes_on_the_package_and_strict_on_the_examples_and_sees_the_records_types(tmp_path):
    probe = tmp_path / "probe.py"
    probe.write_text(textwrap.dedent("""
        from typing import Any
        import numpy as np
        from numpy.typing import NDArray
        from typing_extensions import assert_type
        from zelka.backend.cpu.profiler import ProfileResult
        from zelka.backend.cpu.simulator import BatchSimulationResult, CPUBackend, PerStep
        from zelka.backend.run import RunResult, run
        from zelka.ir import Affine, Graph, Input

        def check(cpu: CPUBackend, graph: Graph, x: NDArray[np.float32]) -> None:
            result = run(graph, x, timesteps=3)
            assert_type(result, RunResult)
            assert_type(result.errors, list[str])
            assert_type(result.profile, ProfileResult | None)
            batch = cpu.simulate_batch(graph, PerStep({"in": x}), 3, record=["lif"])
            assert_type(batch, BatchSimulationResult)
            assert_type(batch.spike_counts, dict[str, NDArray[np.int64]])
            assert_type(batch.errors, list[list[str]])
            assert_type(cpu.profile(graph).per_layer_energy_uj, dict[str, float])
            assert_type(cpu.simulate(graph, {"in": x}).outputs, dict[str, NDArray[Any]])
            Affine(x, reuse_factor=2, core_id=1)
            Input(input_type={"x": (3,)})
    """))  # fmt: skip
    package = mypy("-p", "zelka", cwd=tmp_path)
    assert package.returncode == 0, package.stdout
    examples = mypy("--strict", *map(str, sorted(EXAMPLES.glob("*.py"))), str(probe), cwd=tmp_path)
    assert examples.returncode == 0, examples.stdout
    # the stubs reject what the bindings do not take
    probe.write_text("from zelka.backend.run import run\nrun(None, timesteps='3').outputs.missing\n")
    wrong = mypy(str(probe), cwd=tmp_path)
    assert 'Argument "timesteps" to "run" has incompatible type "str"' in wrong.stdout
    assert '"dict[str, ndarray' in wrong.stdout and 'has no attribute "missing"' in wrong.stdout
