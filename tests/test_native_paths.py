"""Whichever path a run takes, its results are bitwise those of the path every run took
before runs started natively: a first step through numpy (with the engine's products), then
native steps.  That path is forced here by a node that reads its own value, which keeps a run
off the native engine for its first step without touching the rest of the graph.

Values are random floats (not dyadic), so that a product or sum formed in another order
would show."""

import itertools

import numpy as np
import pytest

from tests.agreement import assert_same_values
from tests.graphs import F32, F64, random_graph
from zelka.backend.cpu.simulator import PerStep, _cpu_backend
from zelka.ir import LIF, Affine, Graph, Input, Output, ReLU

cpu = _cpu_backend
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")
FORCING = {"_hold", "_feedback"}


def numpy_first(graph):
    """The graph with an Input feeding a node that also feeds itself: step 1 finds that
    node without its own value, so no run plans natively before its second step (from which
    on the node sums two values of two elements, which the native engine takes)."""
    nodes = dict(graph.nodes) | {"_hold": Input(), "_feedback": ReLU()}
    return Graph(nodes, [*graph.edges, ("_hold", "_feedback"), ("_feedback", "_feedback")])


def held(stimuli, lead=()):
    """The stimuli with zeros for the forcing Input."""
    return stimuli | {"_hold": np.zeros((*lead, 2), F32)}


def wide(rng):
    """Input -> Affine -> LIF -> Affine -> LIF -> Output with layers of 16 to 96 neurons (wide
    enough for products to be formed by partial sums or by columns), a stimulus of spikes or
    of floats, float32 or float64 weights."""
    sizes = rng.integers(16, 97, 3)
    dtype = [F32, F64][rng.integers(2)]
    nodes = [("in", Input())]
    for i, (n_in, n_out) in enumerate(itertools.pairwise(sizes), start=1):
        weight = (rng.standard_normal((n_out, n_in)) * 3 / np.sqrt(n_in)).astype(dtype)
        nodes += [(f"fc{i}", Affine(weight, rng.standard_normal(n_out).astype(dtype) * 0.1)),
                  (f"lif{i}", LIF(4.0, np.ones(n_out, F32)))]  # fmt: skip
    stimulus = rng.random(sizes[0]).astype(F32)
    if rng.random() < 0.5:
        stimulus = (stimulus < 0.3).astype(F32)
    return Graph.sequential(*nodes, ("out", Output())), {"in": stimulus}


def case(seed):
    rng = np.random.default_rng(seed)
    if seed % 4 == 3:
        return wide(rng)
    if seed % 4 == 2:  # dyadic values, integer stimuli now and then (numpy steps throughout)
        return random_graph(rng)
    return random_graph(rng, general=True, float_types=[F32, F32, F64])


def assert_same_run(got, want, where):
    assert got.outputs_valid == want.outputs_valid and got.errors == want.errors, where
    assert list(got.outputs) == list(want.outputs), where
    for name, value in want.outputs.items():
        assert_same_values(got.outputs[name], value, where=f"{where}: outputs[{name!r}]")
    assert got.spike_counts == want.spike_counts, where
    for t, (state, old) in enumerate(zip(got.node_states, want.node_states, strict=True)):
        old = {k: v for k, v in old.items() if k not in FORCING}
        assert list(state) == list(old), f"{where}: keys after step {t + 1}"
        for key, value in old.items():
            assert_same_values(state[key], value, where=f"{where}: step {t + 1} {key!r}")


@pytest.mark.parametrize("n_steps", [0, 1, 2, 3, 25])
@pytest.mark.parametrize("seed", range(24))
def test_simulate_and_profile_keep_their_results(seed, n_steps):
    graph, inputs = case(seed)
    old = numpy_first(graph)
    assert_same_run(cpu.simulate(graph, inputs, n_steps, step_by_step=True),
                    cpu.simulate(old, held(inputs), n_steps, step_by_step=True), f"seed {seed}")  # fmt: skip
    got, want = profiled(graph, inputs, n_steps), profiled(old, held(inputs), n_steps)
    assert got == want


def profiled(graph, inputs, n_steps):
    """What profile reports that does not depend on the clock (or the error it raises)."""
    try:
        p = cpu.profile(graph, inputs, n_steps)
    except (AttributeError, TypeError, ValueError) as error:  # a census the profiler refuses, alike
        return repr(error)
    return p.spike_counts, p.mac_ops, p.energy_estimate_uj > 0 or p.mac_ops == 0


@pytest.mark.parametrize("seed", range(6))
def test_static_layers_after_column_sums(seed):
    """A constant stimulus of spikes: step 0 forms its products row by row, later steps sum
    columns, so the static ReLU after them takes step 1's sums from step 1 on."""
    rng = np.random.default_rng(seed)
    n_in, n_out = rng.integers(40, 97, 2)
    weight = (rng.standard_normal((n_out, n_in)) * 3 / np.sqrt(n_in)).astype(F32)
    graph = Graph.sequential(
        ("in", Input()),
        ("fc", Affine(weight, rng.standard_normal(n_out).astype(F32))),
        ("relu", ReLU()),
        ("lif", LIF(4.0, np.ones(n_out, F32))),
        ("out", Output()),
    )
    spikes = (rng.random((3, n_in)) < 0.4).astype(F32)
    old = numpy_first(graph)
    for sample in spikes:
        assert_same_run(cpu.simulate(graph, {"in": sample}, 6, step_by_step=True),
                        cpu.simulate(old, held({"in": sample}), 6, step_by_step=True), f"seed {seed}")  # fmt: skip
    got = cpu.simulate_batch(graph, {"in": spikes}, 6, record=["v:lif"])
    want = cpu.simulate_batch(old, held({"in": spikes}, (3,)), 6, record=["v:lif"])
    assert_same_values(got.membranes["lif"], want.membranes["lif"], where=f"seed {seed}")


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("batch", [1, 2, 7, 64])
@pytest.mark.parametrize("n_steps", [0, 1, 2, 3, 25])
@pytest.mark.parametrize("seed", [0, 2, 3, 5, 7, 11, 15, 19])
def test_batches_keep_their_results(seed, n_steps, batch, workers):
    graph, inputs = case(seed)
    rng = np.random.default_rng(seed)
    per_step = seed % 2 == 1
    stimuli, lead = {}, (max(n_steps, 1), batch) if per_step else (batch,)
    for key, x in inputs.items():
        values = (
            rng.standard_normal(lead + x.shape)
            if x.dtype.kind == "f"
            else rng.integers(-3, 4, lead + x.shape)
        )
        stimuli[key] = values.astype(x.dtype)
    data, old_data = (
        (PerStep(stimuli), PerStep(held(stimuli, lead))) if per_step else (stimuli, held(stimuli, lead))
    )
    record = [name for name, node in graph.nodes.items() if type(node).__name__ == "LIF"]
    got = cpu.simulate_batch(graph, data, n_steps, workers=workers, record=record)
    want = cpu.simulate_batch(numpy_first(graph), old_data, n_steps, workers=workers, record=record)
    assert got.outputs_valid.tolist() == want.outputs_valid.tolist() and got.errors == want.errors
    assert list(got.outputs) == list(want.outputs)
    for name, value in want.outputs.items():
        assert_same_values(got.outputs[name], value, where=f"outputs[{name!r}]")
    assert list(got.spike_counts) == list(want.spike_counts)
    for name, counts in want.spike_counts.items():
        assert np.array_equal(got.spike_counts[name], counts), name
    for name, trains in want.spike_trains.items():
        assert np.array_equal(got.spike_trains[name], trains), name


@pytest.mark.parametrize("seed", range(9))
def test_layers_whose_lif_adds_the_bias(seed):
    """Affine layers of whole vectors of 16 rows (up to 320) read only by a LIF, which then adds the bias
    and clips as it steps: spikes, membranes, outputs and every step's values are those of the
    old path, for every reset and v_leak (-0.0 too), with stimuli per step and constant, on one
    and two workers, the activity counted.
    Every third seed's sums overflow (float32 and the Affine's own precision), which numpy
    reports and the native steps must too."""
    rng = np.random.default_rng(seed)
    reset, fire = [("v_leak", ">="), ("subtract", ">"), ("none", ">=")][seed % 3]
    v_leak = [0.25, -0.0, 0.0][seed // 3 % 3]  # -0.0: a reset to it keeps the sign of v * 0
    sizes = [int(rng.integers(20, 80)), 16 * int(rng.integers(1, 21)), 16 * int(rng.integers(1, 4))]
    scale = 1e38 if seed % 3 == 2 else 3.0
    nodes = [("in", Input())]
    for i, (n_in, n_out) in enumerate(itertools.pairwise(sizes), start=1):
        weight = (rng.standard_normal((n_out, n_in)) * scale / np.sqrt(n_in)).astype(F32)
        bias = (rng.standard_normal(n_out) * 0.3).astype(F32)
        precision = "ap_fixed<12,4>" if i == 2 else None
        lif = LIF(4.0, np.ones(n_out, F32), v_leak=v_leak, reset=reset, fire=fire)
        nodes += [(f"fc{i}", Affine(weight, bias, precision=precision)), (f"lif{i}", lif)]
    graph = Graph.sequential(*nodes, ("out", Output()))
    old = numpy_first(graph)
    stimulus = rng.random(sizes[0]).astype(F32)
    for step_by_step in (False, True):
        assert_same_run(cpu.simulate(graph, {"in": stimulus}, 9, step_by_step=step_by_step),
                        cpu.simulate(old, held({"in": stimulus}), 9, step_by_step=step_by_step), f"seed {seed}")  # fmt: skip
    trains = (rng.random((9, 5, sizes[0])) < 0.4).astype(F32)
    for data, old_data in [
        (PerStep({"in": trains}), PerStep(held({"in": trains}, (9, 5)))),
        ({"in": trains[0]}, held({"in": trains[0]}, (5,))),
    ]:
        for workers in (1, 2):
            run = {"workers": workers, "record": ["lif1", "v:lif2"], "activity": True}
            got = cpu.simulate_batch(graph, data, 9, **run)
            want = cpu.simulate_batch(old, old_data, 9, **run)
            assert got.errors == want.errors and got.outputs_valid.tolist() == want.outputs_valid.tolist()
            assert_same_values(got.outputs["out"], want.outputs["out"], where=f"seed {seed}")
            assert np.array_equal(got.spike_trains["lif1"], want.spike_trains["lif1"])
            assert_same_values(got.membranes["lif2"], want.membranes["lif2"], where=f"seed {seed}")
            for name, counts in want.spike_counts.items():
                assert np.array_equal(got.spike_counts[name], counts), name
            for field in ("synaptic_ops", "dense_macs", "spikes"):
                counted = {k: v for k, v in getattr(want.activity, field).items() if k not in FORCING}
                assert list(getattr(got.activity, field)) == list(counted), field
                for name, counts in counted.items():
                    assert np.array_equal(getattr(got.activity, field)[name], counts), (field, name)
            # nothing recorded or counted
            got = cpu.simulate_batch(graph, data, 9, workers=workers)
            assert_same_values(got.outputs["out"], want.outputs["out"], where=f"seed {seed}")
            for name, counts in want.spike_counts.items():
                assert np.array_equal(got.spike_counts[name], counts), name


@pytest.mark.parametrize("value", [0.5, np.nan])
@pytest.mark.parametrize("where", [(0, 0, 0), (-1, -1, -1), (23, 40, 17)])
def test_long_stimuli_of_spikes_but_one_value(where, value):
    """A stimulus per step long enough to be read on two threads, all zeros and ones but for
    one value: its products are those of a stimulus of values, as one worker forms them."""
    rng = np.random.default_rng(7)
    weight = (rng.standard_normal((32, 64)) * 3 / 8).astype(F32)
    graph = Graph.sequential(
        ("in", Input()),
        ("fc", Affine(weight, np.full(32, -0.1, F32))),
        ("lif", LIF(4.0, np.ones(32, F32))),
        ("out", Output()),
    )
    trains = (rng.random((40, 64, 64)) < 0.5).astype(F32)
    trains[where] = value
    got = cpu.simulate_batch(graph, PerStep({"in": trains}), 40, workers=2, record="v:lif")
    want = cpu.simulate_batch(numpy_first(graph), PerStep(held({"in": trains}, (40, 64))), 40,
                              workers=1, record="v:lif")  # fmt: skip
    assert got.errors == want.errors
    assert_same_values(got.membranes["lif"], want.membranes["lif"], where=f"{where}")
