"""The LIF rules in both hardware paths: every reset and fire rule, thresholds below, at and above
zero and neurons that do not leak (tau = inf), fed rate-coded spikes (PerStep stimuli), in the HLS
project's C simulation and in the Verilog design's Verilator bench, with the types chosen by
precision="auto" in both writers; and simulate_rtl's test sets, run on the kept Verilator model.

g++ builds one program and Verilator one model: every rule side by side in one graph."""

import os
import shutil
import warnings

import numpy as np
import pytest

from tests.test_fpga_rtl import HAS
from tests.test_fpga_snn import HLS4ML
from zelka.backend.cpu.simulator import PerStep
from zelka.backend.fpga import csim, rtl
from zelka.backend.registry import get_backend
from zelka.ir import LIF, Affine, Graph, Input, Output

F32 = np.float32
STEPS, SAMPLES = 30, 8
RESETS = ("v_leak", "subtract", "none")
FIRES = (">=", ">")  # of each chain's first and second LIF layer


def rules_graph():
    """Per reset rule a chain Input(8) -> Affine -> LIF(6) -> Affine -> LIF(5), named r{k}_..., whose
    LIF layers fire at or above and above their thresholds: weights and biases in sixteenths,
    thresholds in eighths from -1/2 to 3/4 (membranes of such sums meet them exactly), time
    constants 2, 4 and inf."""
    rng = np.random.default_rng(11)
    graph = Graph()
    for k, reset in enumerate(RESETS):
        previous, width = f"r{k}_in", 8
        graph.add(previous, Input(input_type={"input": (8,)}))
        for layer, (n, fire) in enumerate(zip((6, 5), FIRES, strict=True)):
            weight = (rng.integers(-12, 13, (n, width)) / 16).astype(F32)
            graph.add(
                f"r{k}_fc{layer}", Affine(weight, (rng.integers(-4, 5, n) / 16).astype(F32)), after=previous
            )
            lif = LIF(tau=rng.choice([2.0, 4.0, np.inf], n).astype(F32), v_threshold=(rng.integers(-4, 7, n) / 8).astype(F32),
                      reset=reset, fire=fire)  # fmt: skip
            graph.add(f"r{k}_lif{layer}", lif, after=f"r{k}_fc{layer}")
            previous, width = f"r{k}_lif{layer}", n
        graph.add(f"r{k}_out", Output(), after=previous)
    return graph


def rate_coded(seed, samples=SAMPLES, steps=STEPS):
    rng = np.random.default_rng(seed)
    rates = rng.random((len(RESETS), samples, 8))
    return PerStep(
        {f"r{k}_in": (rng.random((steps, samples, 8)) < rates[k]).astype(F32) for k in range(len(RESETS))}
    )


def write_both(graph, folder, **settings):
    settings = {"precision": "auto", "n_steps": STEPS, **settings}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # thresholds of 1/8 rounded onto no grid they miss
        hls = get_backend("fpga").write_snn_project(graph, str(folder / "hls"), "rules", **settings)
        # each chain's first dense layer in one block of two words (its events visited once), its
        # second in blocks of one to three words
        wide = {
            f"r{k}_fc{layer}": 8 if layer == 0 else 4 * (k + 1)
            for k in range(len(RESETS))
            for layer in (0, 1)
        }
        design = rtl.write_rtl_project(
            graph, str(folder / "rtl"), "rules", parallelism=4, dense_parallelism=wide, **settings
        )
    return hls, design


@pytest.fixture(scope="module")
def simulated(tmp_path_factory):
    """The rules graph's project and design (written with the first test sample as their own
    stimulus), and the reports of csim and simulate_rtl on the test set."""
    if HLS4ML is None or shutil.which("g++") is None or not HAS["verilator"]:
        pytest.skip("needs hls4ml, g++ and verilator")
    folder = tmp_path_factory.mktemp("rules")
    graph, test = rules_graph(), rate_coded(seed=2)
    first = PerStep({name: trains[:, 0] for name, trains in test.inputs.items()})
    hls, design = write_both(graph, folder, input_data=first, calibration=rate_coded(seed=1))
    return (
        graph,
        folder,
        test,
        hls,
        design,
        csim(folder / "hls", test),
        rtl.simulate_rtl(folder / "rtl", test),
    )


def test_every_rule_agrees_with_simulate_batch_at_every_step_in_both_paths(simulated):
    graph, _, test, hls, design, c_simulation, verilated = simulated
    assert c_simulation["sample_agrees"].all() and verilated["sample_agrees"].all()
    assert (
        (c_simulation["samples"], c_simulation["steps"])
        == (verilated["samples"], verilated["steps"])
        == (SAMPLES, STEPS)
    )
    # each rule decides the spikes: with the default rule in its place simulate fires otherwise
    lifs = [name for name, node in graph.nodes.items() if isinstance(node, LIF)]
    defaults = Graph({name: LIF(node.tau, node.v_threshold) if isinstance(node, LIF) else node
                      for name, node in graph.nodes.items()}, list(graph.edges))  # fmt: skip
    cpu = get_backend("cpu")
    trains = cpu.simulate_batch(graph, test, STEPS, record=lifs).spike_trains
    default_trains = cpu.simulate_batch(defaults, test, STEPS, record=lifs).spike_trains
    for name in lifs:
        fired = trains[name].mean()
        assert 0.05 < fired < 0.95, (name, fired)
        if name != "r0_lif0":
            assert not np.array_equal(trains[name], default_trains[name]), name
    assert hls["layer_types"] == design["layer_types"]
    assert (hls["precision"], hls["membrane_precision"]) == (
        design["precision"],
        design["membrane_precision"],
    )


def test_the_design_reports_a_test_set_sample_by_sample_as_csim_does(simulated):
    _, folder, _, _, design, c_simulation, verilated = simulated
    for key in ("sample_agrees", "sample_steps_agreeing"):
        assert np.array_equal(verilated[key], c_simulation[key]), key
    for key in ("sample_spike_counts", "sample_reference_spike_counts", "neuron_spike_counts",
                "neuron_reference_spike_counts"):  # fmt: skip
        assert verilated[key].keys() == c_simulation[key].keys()
        for name in verilated[key]:
            assert np.array_equal(verilated[key][name], c_simulation[key][name]), (key, name)
    assert len(verilated["step_cycles"]) == SAMPLES * STEPS
    # the model built for the first call is kept: a second test set runs without a build
    again = rtl.simulate_rtl(folder / "rtl", rate_coded(seed=3, samples=3, steps=12), n_steps=12)
    assert verilated["build_seconds"] > 0 and again["build_seconds"] == 0.0
    assert len(os.listdir(folder / "rtl" / "verilated")) == 1
    assert again["sample_agrees"].all() and (again["samples"], again["steps"]) == (3, 12)
    # the design's own stimulus, repeated: each run starts from cleared membranes
    own = rtl.simulate_rtl(folder / "rtl", runs=2)
    assert own["agrees"] and own["steps"] == 2 * STEPS and own["build_seconds"] == 0.0
    # the chains' layers overlap across steps, the six LIF layers taking the engine in turn
    assert design["schedule"] == "overlapped"
    assert own["cycles_per_step"] == pytest.approx(design["cycles_per_step_estimate"], rel=1e-12)
    assert own["spike_counts"] == {
        name: 2 * int(counts[0]) for name, counts in c_simulation["sample_spike_counts"].items()
    }


def test_per_step_stimuli_that_do_not_fit_are_refused_by_both_writers(tmp_path):
    graph = rules_graph()
    trains = rate_coded(seed=4, samples=1, steps=10).inputs
    short = PerStep({name: values[:, 0] for name, values in trains.items()})
    flat = PerStep({"r0_in": np.ones(8, F32)})
    cases = [
        ({"input_data": short}, ValueError,
         "Argument 'n_steps': 30 steps need a stimulus for every step, and the PerStep stimulus of Input node 'r0_in' holds 10"),
        ({"input_data": flat}, ValueError,
         r"Input node 'r0_in': its PerStep stimulus of shape \(8,\) is not \(steps, \*input_shape\)"),
        ({"input_data": {"r0_in": np.ones((10, 8), F32)}}, ValueError,
         r"its input has 80 values .*; a stimulus for every step is given as a PerStep of \(steps, \*input_shape\)"),
        ({"input_data": [np.ones(8)]}, TypeError, "Argument 'input_data' has incorrect type"),
    ]  # fmt: skip
    for settings, error, message in cases:
        with pytest.raises(error, match=message):
            get_backend("fpga").write_snn_project(
                graph, str(tmp_path / "hls"), "rules", n_steps=STEPS, **settings
            )
        with pytest.raises(error, match=message):
            rtl.write_rtl_project(graph, str(tmp_path / "rtl"), "rules", n_steps=STEPS, **settings)
    assert not (tmp_path / "hls").exists() and not (tmp_path / "rtl").exists()


def test_the_verilog_flow_takes_calibration_only_where_it_chooses_types(tmp_path):
    with pytest.raises(ValueError, match="Argument 'calibration' is read by precision='auto'"):
        rtl.write_rtl_project(rules_graph(), str(tmp_path), "rules", calibration=rate_coded(seed=5))
    assert not tmp_path.joinpath("rtl").exists()


def test_simulate_rtl_refuses_steps_without_samples_and_a_design_without_its_data_files(tmp_path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        rtl.write_rtl_project(rules_graph(), str(tmp_path), "rules", n_steps=4)
    with pytest.raises(ValueError, match="Argument 'n_steps' applies to samples given as 'inputs'"):
        rtl.simulate_rtl(tmp_path, n_steps=4)
    (tmp_path / "tb_data" / "stimulus.dat").unlink()
    with pytest.raises(
        ValueError, match=r"holds no tb_data/stimulus\.dat, the stimulus its test bench reads"
    ):
        rtl.simulate_rtl(tmp_path)
    with pytest.raises(
        ValueError, match=r"holds no tb_data/stimulus\.dat, which tells simulate_rtl .* write_rtl_project"
    ):
        rtl.simulate_rtl(tmp_path, rate_coded(seed=6, samples=1, steps=4))
