"""The activity a run counts (synaptic operations, dense MACs, spikes and firing rates) against
the numpy reference's count from every step's inputs, on both step paths; the energy priced
from it; results left as they were when counting is off; and the figures drawn from it."""

import numpy as np
import pytest

from tests.graphs import F32, dyadic, random_graph
from tests.oracle import engine as reference
from tests.test_computed_layers import conv_net, lif, random_net
from zelka.activity import Activity
from zelka.backend.cpu.profiler import ACCUMULATE_PJ, ENERGY_PRESETS
from zelka.backend.cpu.simulator import PerStep, _cpu_backend
from zelka.ir import Affine, Conv2d, Flatten, Graph, Input, MaxPool2d, Output

cpu = _cpu_backend
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


def reference_activity(graph, samples, n_steps, per_step=False):
    """Per counted layer (fed by spikes, operations per sample) and per LIF node its spikes per
    sample, counted by the reference from each sample's own steps.  A layer whose spikes come
    through an Input whose values, at any step of any sample, were not all 0 or 1 counts its
    dense operations at every step it computes."""
    per_layer, spikes, stimuli_spikes = {}, {}, {}
    for i, stimuli in enumerate(samples):
        counts, binary = {}, {}
        result = reference.simulate(graph, stimuli, n_steps, per_step=per_step, operations_per_step=counts,
                                    spike_stimuli=binary)  # fmt: skip
        assert result.outputs_valid, result.errors
        for name, (fed, per_step_counts, dense, through) in counts.items():
            computed = [c for c in per_step_counts if c is not None]
            per_layer.setdefault(name, (fed, through, []))[2].append((sum(computed), dense * len(computed)))
        for name, total in result.spike_counts.items():
            spikes.setdefault(name, np.zeros(len(samples), np.int64))[i] = total
        for name, holds in binary.items():
            stimuli_spikes[name] = stimuli_spikes.get(name, True) and holds
    operations = {}
    for name, (fed, through, counts) in per_layer.items():
        if fed and not all(stimuli_spikes.get(i, True) for i in through):
            operations[name] = (False, np.array([dense for _, dense in counts], np.int64))
        else:
            operations[name] = (fed, np.array([total for total, _ in counts], np.int64))
    return operations, spikes


def assert_activity(activity, operations, spikes, n_steps):
    synaptic = {name: counts for name, (fed, counts) in operations.items() if fed}
    dense = {name: counts for name, (fed, counts) in operations.items() if not fed}
    assert sorted(activity.synaptic_ops) == sorted(synaptic) and sorted(activity.dense_macs) == sorted(dense)
    for name, counts in {**synaptic, **dense}.items():
        got = activity.synaptic_ops.get(name, activity.dense_macs.get(name))
        np.testing.assert_array_equal(got, counts, err_msg=name)
    for name, counts in spikes.items():
        np.testing.assert_array_equal(activity.spikes[name], counts, err_msg=name)
        rate = counts / (activity.neurons[name] * n_steps)
        np.testing.assert_allclose(activity.firing_rates[name], rate, rtol=1e-12)


@pytest.mark.parametrize("n_steps", [1, 2, 17])
@pytest.mark.parametrize("seed", range(25))
def test_random_graphs_count_what_the_reference_counts(step_path, seed, n_steps):
    """Dense and spike-fed Affine layers, sums of spikes, back edges from LIF nodes (read a step
    late), Affine layers that pass a misfitting input on, integer stimuli."""
    graph, inputs = random_graph(np.random.default_rng(seed))
    result = cpu.simulate(graph, inputs, n_steps, activity=True)
    if not result.outputs_valid:  # a graph whose step fails (inputs that do not broadcast)
        assert result.activity is None and not reference.simulate(graph, inputs, n_steps).outputs_valid
        return
    assert_activity(result.activity, *reference_activity(graph, [inputs], n_steps), n_steps)


@pytest.mark.parametrize("seed", range(12))
def test_batches_count_each_sample_as_the_reference(step_path, seed):
    rng = np.random.default_rng(100 + seed)
    graph, inputs = random_graph(rng)
    batch = {key: np.stack([value * scale for scale in (0, 1, 3, -1)]).astype(value.dtype)
             for key, value in inputs.items()}  # fmt: skip
    result = cpu.simulate_batch(graph, batch, 9, workers=2, activity=True)
    if not result.outputs_valid.all():
        pytest.skip("a graph whose step fails")
    samples = [{key: value[i] for key, value in batch.items()} for i in range(4)]
    assert_activity(result.activity, *reference_activity(graph, samples, 9), 9)


@pytest.mark.parametrize("seed", range(6))
def test_spike_trains_given_per_step_are_spikes(step_path, seed):
    rng = np.random.default_rng(200 + seed)
    graph = Graph.sequential(
        ("in", Input(input_type={"x": (12,)})),
        ("fc1", Affine(dyadic(rng, (8, 12)))),
        ("l1", lif(8, 0.5)),
        ("fc2", Affine(dyadic(rng, (8, 8)))),
        ("l2", lif(8, 0.25)),
        ("out", Output()),
    )
    # a back edge: fc2 reads l1's spikes plus l2's of the step before
    graph.edges.append(("l2", "fc2"))
    trains = {"in": (rng.random((10, 3, 12)) < 0.4).astype(F32)}
    result = cpu.simulate_batch(graph, PerStep(trains), 10, activity=True)
    samples = [{"in": trains["in"][:, i]} for i in range(3)]
    operations, spikes = reference_activity(graph, samples, 10, per_step=True)
    assert operations["fc1"][0] and operations["fc2"][0]  # both fed by spikes
    assert_activity(result.activity, operations, spikes, 10)


def spike_conv_net(rng):
    """Convolutions fed by spikes through every route: a stimulus of spikes with stride,
    padding, dilation and groups, a LIF's spikes max-pooled, and a LIF flattened into an
    Affine."""
    return Graph.sequential(
        ("in", Input(input_type={"x": (2, 9, 8)})),
        (
            "c1",
            Conv2d(dyadic(rng, (4, 1, 3, 2)), None, stride=(2, 1), padding=(1, 2), dilation=(2, 1), groups=2),
        ),
        ("l1", lif(4 * 4 * 11, 0.5)),
        ("pool", MaxPool2d(kernel_size=(2, 2), stride=(1, 2), padding=(1, 0))),
        ("c2", Conv2d(dyadic(rng, (3, 4, 2, 3)), dyadic(rng, 3), padding=(0, 1))),
        ("l2", lif(3 * 4 * 5, 0.25)),
        ("flat", Flatten()),
        ("fc", Affine(dyadic(rng, (4, 60)))),
        ("l3", lif(4, 0.25)),
        ("out", Output()),
        layers="computed",
    )


@pytest.mark.parametrize("seed", range(3))
def test_computed_convolutions_count_the_synapses_each_input_reaches(step_path, seed):
    """Fan-outs at the borders found by convolving one-hot inputs in the reference."""
    rng = np.random.default_rng(300 + seed)
    cases = [
        (spike_conv_net(rng), (rng.random((6, 3, 2, 9, 8)) < 0.3).astype(F32), True),
        (random_net(rng, F32, spikes_in=True)[0], (rng.random((6, 3, 2, 9, 9)) < 0.3).astype(F32), True),
        (conv_net(rng), rng.random((3, 2, 10, 10)).astype(F32), False),
    ]
    for graph, stimuli, per_step in cases:
        graph.check(shapes=True)
        given = PerStep({"in": stimuli}) if per_step else {"in": stimuli}
        result = cpu.simulate_batch(graph, given, 6, activity=True)
        samples = [{"in": stimuli[:, i] if per_step else stimuli[i]} for i in range(3)]
        operations, spikes = reference_activity(graph, samples, 6, per_step)
        assert_activity(result.activity, operations, spikes, 6)


def test_samples_replayed_through_numpy_count_their_steps_once(step_path):
    """fc feeds itself and overflows in sample 1 inside the native steps: the samples of its
    block run again through numpy, which reports the overflow, and their counts are those of
    the replay alone."""
    rng = np.random.default_rng(11)
    graph = Graph(
        [("in", Input()), ("fc", Affine(np.full((3, 3), 2.0, F32), np.zeros(3, F32))), ("lif", lif(3, 0.5)),
         ("fc2", Affine(dyadic(rng, (4, 3)))), ("lif2", lif(4, 0.25)), ("out", Output())],
        [("in", "fc"), ("fc", "fc"), ("fc", "lif"), ("lif", "fc2"), ("fc2", "lif2"), ("lif2", "out")],
    )  # fmt: skip
    stimuli = np.array([[1, 0, 1], [1e37, 1, 0], [0, 1, 0], [1, 1, 1]], F32)
    with pytest.warns(RuntimeWarning, match="overflow"):  # numpy's, in the replay
        result = cpu.simulate_batch(graph, {"in": stimuli}, 8, workers=2, activity=True)
    assert result.outputs_valid.all()
    operations, spikes = reference_activity(graph, [{"in": x} for x in stimuli], 8)
    assert operations["fc2"][0] and not operations["fc"][0]
    assert_activity(result.activity, operations, spikes, 8)


def quickstart_like(rng):
    return Graph.sequential(
        ("in", Input(input_type={"x": (64,)})),
        ("fc", Affine(rng.normal(0, 0.3, (32, 64)).astype(F32))),
        ("lif", lif(32, 1.0)),
        ("fc2", Affine(rng.normal(0, 0.5, (10, 32)).astype(F32))),
        ("lif2", lif(10, 1.0)),
        ("out", Output()),
    )


def test_the_energy_moves_with_activity_and_is_priced_in_one_place():
    rng = np.random.default_rng(7)
    graph = quickstart_like(rng)
    x = rng.random(64).astype(F32)
    activity = cpu.simulate_batch(graph, {"in": np.stack([0 * x, x, 3 * x])}, 50, activity=True).activity
    assert list(activity.dense_macs) == ["fc"] and list(activity.synaptic_ops) == ["fc2"]
    np.testing.assert_array_equal(activity.dense_macs["fc"], [32 * 64 * 50] * 3)
    np.testing.assert_array_equal(activity.synaptic_ops["fc2"], 10 * activity.spikes["lif"])
    energy = activity.energy("45nm_cmos")
    zero, normal, strong = energy.per_sample_uj
    assert zero < normal < strong
    ac, mac = ACCUMULATE_PJ["45nm_cmos"], ENERGY_PRESETS["45nm_cmos"]["mac_pj"]
    assert ac == pytest.approx(mac * 0.9 / 4.6) and (energy.ac_pj, energy.mac_pj) == (ac, mac)
    want = (activity.synaptic_ops["fc2"] * ac + activity.dense_macs["fc"] * mac) * 1e-6
    np.testing.assert_allclose(energy.per_sample_uj, want, rtol=1e-12)
    assert energy.mean_uj == pytest.approx(want.mean()) and energy.std_uj == pytest.approx(want.std())
    own = activity.energy("45nm_cmos", ac_pj=0.5)
    np.testing.assert_allclose(own.per_layer_uj["fc2"], activity.synaptic_ops["fc2"] * 0.5e-6)
    assert activity.device_seconds({"cycles_per_step_estimate": 40.0}, clock_mhz=100) == pytest.approx(
        40 * 50 / 1e8
    )
    with pytest.raises(ValueError, match="cycles_per_step"):
        activity.device_seconds({}, clock_mhz=100)


def test_counting_leaves_every_result_as_it_was():
    rng = np.random.default_rng(8)
    graph = quickstart_like(rng)
    images = rng.random((5, 64)).astype(F32)
    plain = cpu.simulate_batch(graph, {"in": images}, 30, record=["lif", "v:lif2"])
    counted = cpu.simulate_batch(graph, {"in": images}, 30, record=["lif", "v:lif2"], activity=True)
    assert plain.activity is None and counted.activity is not None
    for field in ("outputs", "spike_counts", "spike_trains", "membranes"):
        for name, value in getattr(plain, field).items():
            np.testing.assert_array_equal(getattr(counted, field)[name], value)
    single = cpu.simulate(graph, {"in": images[0]}, 30, step_by_step=True)
    assert single.activity is None
    with_activity = cpu.simulate(graph, {"in": images[0]}, 30, step_by_step=True, activity=True)
    assert with_activity.spike_counts == single.spike_counts
    np.testing.assert_array_equal(with_activity.node_states[-1]["out"], single.node_states[-1]["out"])
    np.testing.assert_array_equal(with_activity.activity.spikes["lif"], counted.activity.spikes["lif"][:1])


def test_parts_of_a_test_set_concatenate_to_the_whole():
    rng = np.random.default_rng(9)
    graph = quickstart_like(rng)
    images = rng.random((7, 64)).astype(F32)
    whole = cpu.simulate_batch(graph, {"in": images}, 20, activity=True).activity
    parts = [
        cpu.simulate_batch(graph, {"in": images[a:b]}, 20, activity=True).activity
        for a, b in ((0, 3), (3, 7))
    ]
    joined = Activity.concatenate(parts)
    assert (joined.n_steps, joined.samples, joined.neurons) == (20, 7, whole.neurons)
    for field in ("synaptic_ops", "dense_macs", "spikes"):
        assert list(getattr(joined, field)) == list(getattr(whole, field))
        for name, counts in getattr(whole, field).items():
            np.testing.assert_array_equal(getattr(joined, field)[name], counts)
    with pytest.raises(ValueError, match="different"):
        Activity.concatenate([parts[0], cpu.simulate_batch(graph, {"in": images}, 5, activity=True).activity])
    # a layer counted both ways, where the part of spikes holds no dense MACs to join (made by hand)
    spikes, dense = ({"fc": np.array([n])} for n in (4, 9))
    with pytest.raises(
        ValueError, match="layer 'fc' counts synaptic operations in part 1 and dense MACs in part 0"
    ):
        Activity.concatenate([Activity(3, dense_macs=dense), Activity(3, synaptic_ops=spikes)])


def test_figures_draw_the_counts():
    pytest.importorskip("matplotlib")
    from matplotlib.container import ErrorbarContainer

    from zelka.plot import firing_rates, synaptic_operations

    rng = np.random.default_rng(10)
    graph = quickstart_like(rng)
    result = cpu.simulate_batch(graph, {"in": rng.random((6, 64)).astype(F32)}, 40, activity=True)
    activity = result.activity
    axes = firing_rates(result).axes[0]
    rates = activity.firing_rates
    means = [rates["lif"].mean(), rates["lif2"].mean()]
    np.testing.assert_allclose([b.get_width() for b in axes.patches], means)
    # the spread over the samples: an error bar from mean - std to mean + std
    (errorbars,) = [c for c in axes.containers if isinstance(c, ErrorbarContainer)]
    segments = errorbars.lines[2][0].get_segments()
    spreads = [rates["lif"].std(), rates["lif2"].std()]
    np.testing.assert_allclose([s[:, 0] for s in segments], [[m - d, m + d] for m, d in zip(means, spreads)])
    one = synaptic_operations(activity, sample=2).axes[0].patches
    assert [b.get_width() for b in one] == [activity.synaptic_ops["fc2"][2], activity.dense_macs["fc"][2]]
    assert [b.get_hatch() for b in one] == [None, "//"]
    with pytest.raises(TypeError, match="activity=True"):
        firing_rates(cpu.simulate_batch(graph, {"in": rng.random((1, 64)).astype(F32)}, 4))
    with pytest.raises(ValueError, match="sample"):
        synaptic_operations(activity, sample=6)
