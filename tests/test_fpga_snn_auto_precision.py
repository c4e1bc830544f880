"""precision='auto' and membrane_precision='auto' of write_snn_project: fixed-point types chosen
from the weights and the ranges simulate_batch observes on calibration samples, with one integer
bit of headroom and fractional bits that keep each rounding within 2^-15 of the smallest threshold
magnitude over the run.  (How closely the chosen types follow simulate on a test set is checked with the C
simulation of test sets, in test_fpga_snn_test_sets.py.)"""

import dataclasses
import re
import warnings

import numpy as np
import pytest

from tests.snn_networks import SHAPES, networks, trained_like
from tests.test_fpga_snn import needs_gxx, needs_hls4ml
from zelka.backend.cpu.simulator import PerStep
from zelka.backend.fpga import csim
from zelka.backend.registry import get_backend
from zelka.ir import LIF, Affine, Graph

pytestmark = needs_hls4ml
STEPS = 25


def calibration(samples=32):
    return np.random.default_rng(5).random((samples, 64)).astype(np.float32)


def write(graph, folder, **settings):
    settings.setdefault("input_data", {"x": calibration()[0]})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # every weight is rounded
        return get_backend("fpga").write_snn_project(graph, str(folder), "net", n_steps=STEPS, **settings)


def bits(type_name):
    """(fractional bits, integer bits) of an ap_fixed name."""
    width, integer = (int(n) for n in re.match(r"ap_fixed<(\d+),(-?\d+)", type_name).groups())
    return width - integer, integer


def scaled(graph, factor):
    """The graph with every weight, bias and threshold times `factor`."""
    nodes = {}
    for name, node in graph.nodes.items():
        if isinstance(node, Affine):
            node = dataclasses.replace(node, weight=node.weight * factor, bias=node.bias * factor)
        elif isinstance(node, LIF):
            node = LIF(tau=node.tau, v_threshold=node.v_threshold * factor)
        nodes[name] = node
    return Graph(nodes, list(graph.edges))


def test_the_types_hold_the_observed_ranges_with_one_integer_bit_of_headroom(tmp_path):
    graph, x = trained_like(21), calibration()
    written = write(graph, tmp_path, precision="auto", calibration={"x": x})
    run = get_backend("cpu").simulate_batch(graph, {"x": x}, STEPS, record=["lif1", "v:lif1", "v:lif2"])
    fc1, fc2 = graph.nodes["fc1"], graph.nodes["fc2"]
    w1, b1, w2, b2 = (a.astype(np.float64) for a in (fc1.weight, fc1.bias, fc2.weight, fc2.bias))
    spikes = run.spike_trains["lif1"].astype(np.float64)  # the second layer's inputs, step by step
    types = written["layer_types"]
    largest = [  # each type and the largest magnitude it holds, computed here from the run
        (written["precision"], np.abs(x).max()),
        (types["fc1"]["weight_t"], np.abs(w1).max()),
        (types["fc1"]["bias_t"], np.abs(b1).max()),
        (types["fc1"]["accum_t"], (x @ np.abs(w1).T + np.abs(b1)).max()),  # bounds every partial sum
        (types["fc1"]["result_t"], np.abs(x @ w1.T + b1).max()),
        (types["fc2"]["weight_t"], np.abs(w2).max()),
        (types["fc2"]["accum_t"], (spikes @ np.abs(w2).T + np.abs(b2)).max()),
        (types["fc2"]["result_t"], np.abs(spikes @ w2.T + b2).max()),
    ]
    for type_name, value in largest:
        _, integer = bits(type_name)
        assert integer == max(2, int(np.floor(np.log2(2 * value))) + 2), (type_name, value)
    fraction, integer = bits(written["membrane_precision"])
    assert written["membrane_precision"].endswith(",AP_RND_CONV,AP_SAT>")
    assert 2 ** (integer - 1) > 2 * max(
        np.abs(run.membranes["lif1"]).max(), np.abs(run.membranes["lif2"]).max()
    )
    assert fraction >= max(bits(types[fc]["result_t"])[0] for fc in ("fc1", "fc2"))  # inputs added exactly
    assert types["lif1"] == types["lif2"] == {"membrane_t": written["membrane_precision"],
                                              "decay_t": f"ap_fixed<{fraction + 2},2,AP_RND_CONV,AP_SAT>"}  # fmt: skip
    defines = (tmp_path / "firmware" / "defines.h").read_text()
    assert f"typedef {written['precision']} input_t;" in defines
    assert f"typedef {types['fc1']['result_t']} layer1_t;  // fc1" in defines
    assert (
        f"typedef {types['fc2']['weight_t']} weight_t;"
        in (tmp_path / "firmware" / "parameters.h").read_text()
    )


def test_scaling_weights_biases_and_thresholds_by_four_moves_the_binary_points_by_two(tmp_path):
    # the same spikes (a power of two scales float32 exactly), every range and the error allowed
    # four times as large: two more integer bits and two fewer fractional bits for each layer type
    graph = trained_like(22)
    plain = write(graph, tmp_path / "plain", precision="auto", calibration={"x": calibration()})
    larger = write(scaled(graph, 4), tmp_path / "larger", precision="auto", calibration={"x": calibration()})
    assert plain["reference_spike_counts"] == larger["reference_spike_counts"]
    assert plain["precision"] == larger["precision"]  # input rounding weighs weights against the threshold
    for layer in ("fc1", "fc2"):
        for kind, type_name in plain["layer_types"][layer].items():
            (fraction, integer), (scaled_fraction, scaled_integer) = (
                bits(type_name),
                bits(larger["layer_types"][layer][kind]),
            )
            assert scaled_fraction == fraction - 2, (layer, kind)
            assert scaled_integer == integer + 2 or (integer == 2 and scaled_integer < 4), (layer, kind)


@needs_gxx
def test_networks_of_every_shape_with_continuous_values_agree_at_every_step(tmp_path):
    # sums of dense layers and of spikes, recurrent and self-reading layers, late pass-through
    # nodes, Flatten and SpikingAffine layers, calibrated on their own stimulus (with the default
    # ap_fixed<16,6>, half of such networks differ at some step: benchmarks/snn_csim_agreement.py)
    graph, stimuli, _ = networks(range(100, 100 + len(SHAPES)), dyadic=False)
    write(graph, tmp_path, precision="auto", input_data=stimuli)
    result = csim(tmp_path)
    assert result["agrees"], {name: steps for name, steps in result["steps_differing"].items() if steps}


def test_types_a_node_sets_are_kept_and_a_fixed_precision_keeps_every_layer_type(tmp_path):
    graph = trained_like(23)
    graph.nodes["fc2"] = dataclasses.replace(graph.nodes["fc2"], weight_t="ap_fixed<18,4>")
    written = write(graph, tmp_path / "auto", precision="auto", calibration={"x": calibration()})
    assert written["layer_types"]["fc2"]["weight_t"] == "ap_fixed<18,4>"
    assert bits(written["layer_types"]["fc2"]["bias_t"])[0] > 14  # chosen
    assert graph.nodes["fc1"].weight_t is None  # the given graph is left as it was

    fixed = write(trained_like(23), tmp_path / "fixed", precision="ap_fixed<24,8>", membrane_precision="auto")
    assert fixed["precision"] == "ap_fixed<24,8>"
    for layer in ("fc1", "fc2"):
        assert set(fixed["layer_types"][layer].values()) == {"ap_fixed<24,8>"}
    assert (
        bits(fixed["membrane_precision"])[0] >= 16
        and fixed["membrane_precision"] != "ap_fixed<34,10,AP_RND_CONV,AP_SAT>"
    )


def test_spike_inputs_get_an_integer_input_type_and_per_step_calibrations_are_read(tmp_path):
    rng = np.random.default_rng(6)
    trains = (rng.random((40, 16, 64)) < 0.3).astype(np.float32)  # rate-coded: 40 steps of 16 samples
    written = write(trained_like(24), tmp_path, precision="auto", calibration=PerStep({"x": trains}),
                    input_data={"x": trains[0, 0]})  # fmt: skip
    assert written["precision"] == "ap_fixed<3,3>"  # no fractional bit: 0 and 1, twice that held


@pytest.mark.parametrize(("settings", "error", "message"), [
    ({"calibration": {"x": calibration()}}, ValueError,
     "Argument 'calibration' is read by precision='auto' and membrane_precision='auto' only"),
    ({"precision": "Auto"}, ValueError, ("Argument 'precision' must be a fixed-point type name (ap_fixed<W,I>, "
                                         "ap_ufixed<W,I>, ap_int<W> or ap_uint<W>) or 'auto', got 'Auto'")),
    ({"precision": "auto", "calibration": {"x": calibration()[:, :63]}}, ValueError,
     ("Argument 'calibration': the samples of 'x' have shape (32, 63), expected (batch,) + (64,), the Input's "
      "shape in the project")),
    ({"precision": "auto", "calibration": {"x": calibration(), "z": calibration()}}, ValueError,
     "Argument 'calibration' names 'z', which is no Input node of the graph; its Inputs are ['x']"),
    ({"precision": "auto", "calibration": {}}, ValueError,
     "Argument 'calibration' has no samples for the Input 'x'; give every Input of the graph: ['x']"),
    ({"precision": "auto", "calibration": {"x": calibration()[:0]}}, ValueError,
     "Argument 'calibration' holds no sample"),
    ({"precision": "auto", "calibration": [calibration()]}, TypeError,
     "Argument 'calibration' has incorrect type (expected dict or PerStep, got list)"),
])  # fmt: skip
def test_bad_calibrations_and_types_are_refused_before_anything_is_written(
    tmp_path, settings, error, message
):
    with pytest.raises(error) as info:
        write(trained_like(25), tmp_path / "prj", **settings)
    assert str(info.value).startswith(message) and not (tmp_path / "prj").exists()


def with_value(array, index, value):
    array = array.copy()
    array[index] = value
    return array


@pytest.mark.parametrize(("calibration_data", "message"), [
    ({"x": with_value(calibration(), (3, 7), np.nan)},
     "Argument 'calibration': 'x' holds nan (sample 4, value 8), which no fixed-point type holds"),
    ({"x": with_value(calibration(), (0, 63), -np.inf)},
     "Argument 'calibration': 'x' holds an infinity (sample 1, value 64), which no fixed-point type holds"),
    (lambda: PerStep({"x": with_value(np.zeros((5, 2, 64), np.float32), (4, 1, 0), np.inf)}),
     "Argument 'calibration': 'x' holds an infinity (sample 2, step 5, value 1), which no fixed-point type holds"),
])  # fmt: skip
def test_calibrations_holding_nan_or_infinity_are_refused(tmp_path, calibration_data, message):
    # a NaN sample left out of the ranges chose narrower types; an infinity, a 57-bit weight type
    if callable(calibration_data):  # a PerStep made by the test, not kept by its parameters
        calibration_data = calibration_data()
    with pytest.raises(ValueError) as info:
        write(trained_like(25), tmp_path / "prj", precision="auto", calibration=calibration_data)
    assert str(info.value) == message and not (tmp_path / "prj").exists()


def test_per_step_calibrations_have_steps_and_a_batch(tmp_path):
    with pytest.raises(ValueError) as info:
        write(trained_like(25), tmp_path / "prj", precision="auto", calibration=PerStep({"x": calibration()}))
    assert str(info.value) == (
        "Argument 'calibration': the samples of 'x' have shape (32, 64), expected (steps, batch) + (64,), the "
        "Input's shape in the project"
    )
    no_step = PerStep({"x": np.ones((0, 3, 64))})
    with pytest.raises(ValueError) as info:
        write(trained_like(25), tmp_path / "prj", precision="auto", calibration=no_step)
    assert str(info.value) == (
        "Argument 'calibration' holds no step: the first axis of its PerStep arrays, the steps, has length 0"
    )
    assert not (tmp_path / "prj").exists()


def test_negative_thresholds_count_by_their_magnitude_and_zero_ones_by_the_membranes(tmp_path):
    # negated weights, biases and thresholds negate fc1's values and the membranes: the first
    # layer's types, measured against the same threshold magnitudes, stay those of the network
    graph = trained_like(25)
    plain = write(graph, tmp_path / "plain", precision="auto", calibration={"x": calibration()})
    negated = write(
        scaled(graph, -1), tmp_path / "negated", precision="auto", calibration={"x": calibration()}
    )
    assert negated["layer_types"]["fc1"] == plain["layer_types"]["fc1"]
    # thresholds of 0 leave the largest membrane magnitude as the scale (some 50 here, membranes
    # that fall for want of a threshold to fire at): log2 of it fewer fractional bits than the
    # threshold of 1 asks for
    at_zero = Graph({name: LIF(node.tau, np.zeros_like(node.v_threshold)) if isinstance(node, LIF) else node
                     for name, node in graph.nodes.items()}, list(graph.edges))  # fmt: skip
    zero = write(at_zero, tmp_path / "zero", precision="auto", calibration={"x": calibration()})
    run = get_backend("cpu").simulate_batch(at_zero, {"x": calibration()}, STEPS, record=["v:lif1", "v:lif2"])
    largest = max(np.abs(run.membranes["lif1"]).max(), np.abs(run.membranes["lif2"]).max())
    fewer = bits(plain["layer_types"]["fc1"]["weight_t"])[0] - bits(zero["layer_types"]["fc1"]["weight_t"])[0]
    assert largest > 4 and np.floor(np.log2(largest)) <= fewer <= np.ceil(np.log2(largest))
