"""The texts write_snn_project generates, whole: the firmware, the test bench, its data and the
Tcl script of a few networks, compared with the texts kept in tests/golden/snn/.

The networks cover every form the generators write: each shape of tests/snn_networks.py, both
dense strategies, reuse factors that partition arrays cyclically and pipeline with an interval,
sums whose reads start at a later step, an Output that has no value in the first step, an LIF
layer that is never evaluated, ports whose names collide, and node names that comments and
string literals must escape.  The headers copied into the project (nnet_utils, ap_types) and
the stored graph (graph.zelka, in zelka.io's binary form) are not compared.

After a deliberate change of the generated code, write the texts anew with
`python -m tests.test_fpga_snn_texts` and review the difference.
"""

import importlib.util
import os
import warnings
from pathlib import Path

import numpy as np
import pytest

from tests.snn_networks import SHAPES, networks
from tests.texts import assert_same_text
from zelka.backend.registry import get_backend
from zelka.ir import LIF, Affine, Flatten, Graph, Input, Output

GOLDEN = Path(__file__).parent / "golden" / "snn"
NOT_COMPARED = ("firmware/nnet_utils/", "firmware/ap_types/", "graph.zelka")


def every_shape():
    graph, stimuli, _ = networks(range(len(SHAPES)), dyadic=False)
    return graph, {"input_data": stimuli, "n_steps": 6}


def resource_strategy():
    graph, stimuli, _ = networks(range(len(SHAPES), len(SHAPES) + 3), dyadic=True)
    settings = {
        "input_data": stimuli,
        "n_steps": 4,
        "strategy": "Resource",
        "precision": "ap_fixed<18,7>",
        "membrane_precision": "ap_fixed<30,9,AP_RND,AP_SAT>",
        "board": "pynq_z2",
        "clock_period": 7.5,
    }
    return graph, settings


def corner_cases():
    graph = Graph()
    graph.add("a b", Input(input_type={"input": (4,)}))
    graph.add("a_b", Input(input_type={"input": (4,)}))  # its port name collides with a b's
    graph.add("late", Flatten())  # reads rec, which comes after it: a value from step 2 on
    graph.add("fc??/", Affine(np.arange(12, dtype=np.float32).reshape(3, 4) / 16), after=["a b", "a_b"])
    graph.add("lif\\", LIF(tau=np.full(3, 4.0, np.float32), v_threshold=np.ones(3, np.float32)),
              after=["fc??/", "late"])  # fmt: skip
    graph.add("rec", Affine(np.eye(3, dtype=np.float32) / 2), after="lif\\")
    graph.connect("rec", "late")
    graph.add("dead", LIF(tau=np.full(2, 2.0, np.float32), v_threshold=np.ones(2, np.float32)))
    graph.connect("dead", "dead")  # reads nothing but itself: never evaluated
    graph.add("y", Output(), after="late")
    graph.add("1σ", Output(), after="lif\\")
    stimuli = {"a b": np.ones(4, np.float32), "a_b": np.full(4, 0.5, np.float32)}
    return graph, {"input_data": stimuli, "n_steps": 5, "reuse_factor": 2}


CASES = {"every_shape": every_shape, "resource_strategy": resource_strategy, "corner_cases": corner_cases}


def generated_texts(case, folder):
    """The generated files of `case`'s project, written into `folder`, as one text: each file's
    path on a line of its own, then its text."""
    graph, settings = CASES[case]()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        written = get_backend("fpga").write_snn_project(graph, str(folder), case, **settings)
    parts = []
    for path in written["written_files"]:
        relative = os.path.relpath(path, folder)
        if not relative.startswith(NOT_COMPARED):
            parts.append(f"##### {relative}\n" + Path(path).read_text(encoding="utf-8"))
    return "".join(parts)


@pytest.mark.skipif(importlib.util.find_spec("hls4ml") is None, reason="needs hls4ml")
@pytest.mark.parametrize("case", list(CASES))
def test_the_generated_project_is_the_kept_text(tmp_path, case):
    expected = (GOLDEN / f"{case}.txt").read_text(encoding="utf-8")
    assert_same_text(generated_texts(case, tmp_path), expected)


if __name__ == "__main__":
    import tempfile

    GOLDEN.mkdir(parents=True, exist_ok=True)
    for name in CASES:
        with tempfile.TemporaryDirectory() as scratch:
            (GOLDEN / f"{name}.txt").write_text(generated_texts(name, Path(scratch)), encoding="utf-8")
        print(f"wrote {GOLDEN / name}.txt")
