"""The counts of the operations added after run and the CPU backend's simulate, profile and
compile (simulate_batch, the SNN and Verilog writers, simulate_rtl, csim, simulate_dataset) take
integers only: an int or what has __index__, never a bool or a float of whole value, which the
original operations truncate.  csim's n_steps is among the refusals of test_fpga_snn_test_sets
and simulate_dataset's counts among those of test_distributed."""

import numpy as np
import pytest

from tests.test_fpga_snn import small
from zelka.backend.fpga import rtl
from zelka.backend.registry import get_backend

STIMULUS = {"x": np.array([1, 0.5, 0.75, 0.25], np.float32)}


def calls(folder):
    """Argument name -> a call of each operation taking that count."""
    cpu, fpga = get_backend("cpu"), get_backend("fpga")
    batch = {"x": np.ones((2, 4), np.float32)}
    return {
        "simulate_batch n_steps": ("n_steps", lambda n: cpu.simulate_batch(small(), batch, n)),
        "simulate_batch workers": ("workers", lambda n: cpu.simulate_batch(small(), batch, 2, workers=n)),
        "write_snn_project n_steps": ("n_steps", lambda n: fpga.write_snn_project(
            small(), str(folder), input_data=STIMULUS, n_steps=n)),
        "write_snn_project reuse_factor": ("reuse_factor", lambda n: fpga.write_snn_project(
            small(), str(folder), input_data=STIMULUS, reuse_factor=n)),
        "write_rtl_project n_steps": ("n_steps", lambda n: rtl.write_rtl_project(
            small(), str(folder), input_data=STIMULUS, n_steps=n)),
        "write_rtl_project parallelism": ("parallelism", lambda n: rtl.write_rtl_project(
            small(), str(folder), input_data=STIMULUS, parallelism=n)),
        "simulate_rtl runs": ("runs", lambda n: rtl.simulate_rtl(folder, runs=n)),
    }  # fmt: skip


CASES = list(calls(None))


NOT_INTEGERS = [(2.0, "float"), (2.9, "float"), (True, "bool"), (np.True_, "bool"), ("2", "str")]


@pytest.mark.parametrize(("case", "value", "type_name"), [
    *((case, value, name) for case in CASES for value, name in NOT_INTEGERS),
    *((case, None, "NoneType") for case in CASES if case != "simulate_batch workers"),  # None: every core
])  # fmt: skip
def test_counts_that_are_not_integers_are_refused_before_anything_is_written(
    tmp_path, case, value, type_name
):
    argument, call = calls(tmp_path / "prj")[case]
    with pytest.raises(TypeError) as info:
        call(value)
    assert str(info.value) == f"Argument '{argument}' has incorrect type (expected int, got {type_name})"
    assert not (tmp_path / "prj").exists()


@pytest.mark.parametrize("case", [case for case in CASES if "simulate_rtl" not in case])
def test_numpy_integers_are_counts(tmp_path, case):
    _, call = calls(tmp_path / "prj")[case]
    call(np.int64(2))
