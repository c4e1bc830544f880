"""The LIF node's reset rules and firing comparison: the documented example, agreement with
snnTorch's Leaky neuron, storage, checks, and the hls4ml configuration's refusals.  (Native and numpy
steps are compared with the oracle on random graphs using every rule in
test_engine_differential and test_native_paths.)"""

import itertools
import json
import zipfile

import numpy as np
import pytest

from zelka import io
from zelka.backend.cpu.simulator import PerStep
from zelka.backend.fpga.rtl import write_rtl_project
from zelka.backend.registry import get_backend
from zelka.ir import LIF, Affine, Graph, Input, Output

cpu = get_backend("cpu")
F32 = np.float32


def one_neuron(**rule):
    return Graph.sequential(
        ("x", Input(input_type={"x": (1,)})),
        ("lif", LIF(tau=F32(2.0), v_threshold=np.array([1.0], F32), **rule)),
        ("y", Output()),
    )


@pytest.mark.parametrize(
    ("rule", "fired"),
    [
        ({}, [3, 6, 9, 12]),
        ({"reset": "subtract"}, [3, 7, 11]),
        ({"reset": "none"}, list(range(3, 13))),
        ({"fire": ">", "reset": "v_leak"}, [3, 6, 9, 12]),
    ],
)
def test_one_neuron_fed_a_constant_fires_at_the_documented_steps(rule, fired):
    run = cpu.simulate(one_neuron(**rule), {"x": np.array([0.6], F32)}, 12, step_by_step=True)
    assert [t + 1 for t, state in enumerate(run.node_states) if state["lif"][0]] == fired
    assert run.spike_counts["lif"] == len(fired)


def test_fire_above_does_not_fire_at_the_threshold_itself():
    graph = one_neuron(reset="none")
    at = cpu.simulate(graph, {"x": np.array([1.0], F32)}, 1).spike_counts["lif"]
    graph.nodes["lif"].fire = ">"
    assert (at, cpu.simulate(graph, {"x": np.array([1.0], F32)}, 1).spike_counts["lif"]) == (1, 0)


def test_subtract_starts_by_subtracting_a_negative_threshold_the_zero_membrane_lies_above():
    graph = Graph.sequential(
        ("x", Input(input_type={"x": (1,)})),
        ("lif", LIF(tau=F32(2.0), v_threshold=np.array([-0.5], F32), reset="subtract", fire=">")),
        ("y", Output()),
    )
    run = cpu.simulate(graph, {"x": np.array([-2.0], F32)}, 2, step_by_step=True)
    # step 1: 0 > -0.5, so -2 - (-0.5) = -1.5 (no spike); step 2: -0.75 - 2 = -2.75
    assert [float(s["lif"][0]) for s in run.node_states] == [0.0, 0.0]
    prof = cpu.profile(graph, {"x": np.array([2.0], F32)}, 3)
    assert prof.spike_counts == cpu.simulate(graph, {"x": np.array([2.0], F32)}, 3).spike_counts


# ---- snnTorch's Leaky neuron ----------------------------------------------------------


def snntorch_trains(snn, torch, layers, x, reset, per_step):
    """Spike trains (steps, batch, neurons) per Leaky layer of Linear -> Leaky pairs."""
    linears, leakies = [], []
    for weight, bias, beta, threshold in layers:
        fc = torch.nn.Linear(weight.shape[1], weight.shape[0])
        with torch.no_grad():
            fc.weight.copy_(torch.from_numpy(weight))
            fc.bias.copy_(torch.from_numpy(bias))
        linears.append(fc)
        leakies.append(snn.Leaky(beta=torch.from_numpy(beta), threshold=torch.from_numpy(threshold),
                                 reset_mechanism=reset))  # fmt: skip
    mems = [leaky.init_leaky() for leaky in leakies]
    trains = [[] for _ in leakies]
    with torch.no_grad():
        for t in range(x.shape[0] if per_step else 25):
            value = torch.from_numpy(x[t] if per_step else x)
            for i, (fc, leaky) in enumerate(zip(linears, leakies, strict=True)):
                value, mems[i] = leaky(fc(value), mems[i])
                trains[i].append(value.numpy().astype(bool))
    return [np.stack(train) for train in trains]


@pytest.mark.parametrize("per_step", [False, True])
@pytest.mark.parametrize("reset", ["subtract", "none", "zero"])
def test_spike_trains_equal_snntorchs_leaky_at_every_step(reset, per_step):
    torch = pytest.importorskip("torch")
    snn = pytest.importorskip("snntorch")
    from zelka import _convert

    rng = np.random.default_rng(7)
    sizes, layers, nodes = [12, 24, 8], [], [("in", Input(input_type={"x": (12,)}))]
    for i, (n_in, n_out) in enumerate(itertools.pairwise(sizes)):
        weight = (np.round(rng.normal(0, 0.6, (n_out, n_in)) * 32) / 32).astype(F32)  # dyadic sums
        bias = (np.round(rng.normal(0, 0.2, n_out) * 32) / 32).astype(F32)
        beta = rng.choice([0.75, 0.875, 0.9375, 1.0, 1.25], n_out).astype(F32)  # learned: 1.25 clamps to 1
        threshold = rng.choice([-0.25, 0.5, 1.0, 1.5], n_out).astype(F32)  # learned: some negative
        layers.append((weight, bias, beta, threshold))
        tau = _convert.time_constants_for_decays(np.clip(beta, 0, 1), f"lif{i}")
        if reset == "zero":
            lif = LIF(tau=tau, v_threshold=_convert.inclusive_thresholds(threshold))
        else:
            lif = LIF(tau=tau, v_threshold=threshold, reset=reset, fire=">")
        nodes += [(f"fc{i}", Affine(weight, bias)), (f"lif{i}", lif)]
    graph = Graph.sequential(*nodes, ("out", Output()))
    shape = (25, 16, 12) if per_step else (16, 12)
    x = (rng.random(shape) < 0.4).astype(F32) if per_step else np.round(rng.random(shape) * 8).astype(F32) / 8
    expected = snntorch_trains(snn, torch, layers, x, reset, per_step)
    got = cpu.simulate_batch(
        graph, PerStep({"in": x}) if per_step else {"in": x}, 25, record=["lif0", "lif1"]
    )
    for i, train in enumerate(expected):
        assert np.array_equal(got.spike_trains[f"lif{i}"], train), f"lif{i}"
    assert expected[0].any() and not expected[0].all()


# ---- storage, checks and the writers ------------------------------------------------------


def test_files_store_the_rules_and_leave_the_defaults_out(tmp_path):
    graph = Graph.sequential(
        ("x", Input(input_type={"x": (2,)})),
        ("a", LIF(2.0, np.ones(2, F32))),
        ("b", LIF(2.0, np.ones(2, F32), reset="subtract", fire=">")),
        ("y", Output()),
    )
    io.save(graph, tmp_path / "g.zelka")
    loaded = io.load(tmp_path / "g.zelka")
    assert [(n.reset, n.fire) for n in list(loaded.nodes.values())[1:3]] == [
        ("v_leak", ">="),
        ("subtract", ">"),
    ]
    with zipfile.ZipFile(tmp_path / "g.zelka") as archive:
        text = next(archive.read(n) for n in archive.namelist() if n.endswith(".json")).decode()
    attributes = {node["name"]: node["attributes"] for node in json.loads(text)["graph"]["nodes"]}
    assert "reset" not in attributes["a"] and "fire" not in attributes["a"]
    assert (attributes["b"]["reset"], attributes["b"]["fire"]) == ("subtract", ">")


@pytest.mark.parametrize(("setting", "value"), [("reset", "zero"), ("fire", "=>"), ("reset", None)])
def test_unknown_settings_are_refused_by_check_and_reported_by_simulate(setting, value):
    graph = one_neuron(**{setting: value})
    with pytest.raises(ValueError, match=f"LIF node 'lif': {setting} must be .* got {value!r}"):
        graph.check()
    run = cpu.simulate(graph, {"x": np.array([0.6], F32)}, 2)
    assert not run.outputs_valid and f"{setting} must be" in run.errors[0]


@pytest.mark.parametrize(
    ("rule", "said"), [({"reset": "subtract"}, "reset 'subtract'"), ({"fire": ">"}, "fire '>'")]
)
def test_the_hls4ml_configuration_refuses_rules_its_neuron_model_lacks_and_the_snn_writers_build_them(
    tmp_path, rule, said
):
    graph = one_neuron(**rule)
    stimulus = {"x": np.array([0.625], F32)}  # a value of the stimulus type
    fpga = get_backend("fpga")
    with pytest.raises(ValueError, match=f"LIF node 'lif': {said} cannot be built"):
        fpga.compile(graph)
    hls = fpga.write_snn_project(graph, str(tmp_path / "hls"), "snn", input_data=stimulus, n_steps=12)
    design = write_rtl_project(graph, str(tmp_path / "rtl"), "snn", input_data=stimulus, n_steps=12)
    fired = cpu.simulate(graph, stimulus, 12).spike_counts["lif"]
    assert hls["reference_spike_counts"] == design["reference_spike_counts"] == {"lif": fired}
