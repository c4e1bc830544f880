"""The CPU engine against the numpy reference of the step algorithm, on both of its step paths.

Values are dyadic (small integers over powers of two) wherever they pass through a
matrix-vector product, so that products and sums are exact in any order and results can be
required to be identical; element-wise work is required to be identical for any values.
"""

import itertools
import warnings

import numpy as np
import pytest

from tests.agreement import assert_same_values, run_both
from tests.graphs import F16, F32, F64, chain, dyadic, feed, per_neuron, random_graph
from zelka.backend.config import CompileConfig
from zelka.backend.cpu import graph_utils
from zelka.ir import LIF, Affine, Graph, Input, Output, ReLU, Skip

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


@pytest.mark.parametrize("n_steps", [0, 1, 2, 3, 30])
@pytest.mark.parametrize("seed", range(30))
def test_random_graphs(step_path, seed, n_steps):
    graph, inputs = random_graph(np.random.default_rng(seed))
    run_both(graph, inputs, n_steps, step_by_step=seed % 2 == 0)


@pytest.mark.parametrize("seed", range(12))
def test_random_graphs_with_general_float64_values(step_path, seed):
    graph, inputs = random_graph(np.random.default_rng(1000 + seed), general=True)
    run_both(graph, inputs, 25, step_by_step=True, exact=False)


@pytest.mark.parametrize(
    "precision", ["fp16", "int16", "int8", "int4", "ap_fixed<8,1>", "ap_fixed<4,6>", "ap_fixed<32,6>", "?"]
)
def test_target_precisions(step_path, monkeypatch, precision):
    # Large inputs make the Affine and LIF layers saturate to the precision's range; an unknown
    # precision is reported by the first saturation.
    defaults = CompileConfig.__init__.__defaults__
    monkeypatch.setattr(CompileConfig.__init__, "__defaults__", (precision,) + defaults[1:])
    for seed in range(8):
        graph, inputs = random_graph(np.random.default_rng(200 + seed))
        run_both(graph, {k: v * v.dtype.type(37) for k, v in inputs.items()}, 20, step_by_step=True)


# fmt: off
FAN_IN = [[(4,)], [(4,), (4,)], [(4,), (3,)], [(4,), (3,), (4,)], [(3,), (4,), (4,), (3,)], [(5,)] * 6,
          [(1,)] * 9, [(2, 3), (2, 3), (2, 3)], [(2, 3), (6,), (2, 3)], [(0,), (0,), (0,)]]
# fmt: on


@pytest.mark.parametrize("dtypes", [(F32,), (F64,), (F32, F64), (F64, F32)], ids=str)
@pytest.mark.parametrize("shapes", FAN_IN, ids=str)
def test_fan_in_sums_in_predecessor_order(step_path, numpy_errors, shapes, dtypes):
    # Values of very different magnitudes make float sums depend on the order of addition.
    # numpy's sum over predecessors of one shape starts from +0.0, so -0.0 comes out as +0.0;
    # the in-place adds for predecessors of different shapes keep -0.0.
    rng = np.random.default_rng(len(shapes))
    arrays = [rng.standard_normal(s) * 10.0 ** rng.integers(-8, 9, s) for s in shapes]
    graph = Graph([("sum", Skip()), ("out", Output())], [("sum", "out")])
    inputs = feed(graph, "sum", [x.astype(dtypes[i % len(dtypes)]) for i, x in enumerate(arrays)])
    for n_steps in (1, 3, 20):
        run_both(graph, inputs, n_steps, step_by_step=True)
    run_both(graph, {k: np.full_like(x, -0.0) for k, x in inputs.items()}, 3)


@pytest.mark.parametrize("shapes", [[(4,), (4,), (4,)], [(4,), (3,), (4,)], [(4,)] * 5], ids=str)
def test_fan_in_feeding_affine_and_lif(step_path, shapes):
    # The Affine layer sums dyadic inputs (exact in any order); the LIF layer sums random
    # floats, which an element-wise sum must add in predecessor order.
    rng = np.random.default_rng(7)
    fc, lif = Affine(dyadic(rng, (3, 4)), dyadic(rng, 3)), LIF(3.0, np.full(4, 0.3, F32))
    nodes = {"fc": fc, "lif": lif, "o_fc": Output(), "o_lif": Output()}
    graph = Graph(nodes, [("fc", "o_fc"), ("lif", "o_lif")])
    inputs = feed(graph, "fc", [dyadic(rng, s) for s in shapes], "d")
    inputs |= feed(graph, "lif", [rng.uniform(-0.2, 0.4, s).astype(F32) for s in shapes], "r")
    # spikes flow back into both sums, so their values change from step to step
    graph.connect("lif", "fc").connect("lif", "lif")
    run_both(graph, inputs, 40, step_by_step=True)


@pytest.mark.parametrize("tau", [2.0, 3.0, 7, F32(2.0), F32(3.0), F64(3.0), "float32", "float64", "one64"])
@pytest.mark.parametrize("v_leak", [0.0, -0.3, 2, F32(0.5), F64(-0.1), "float32", "float64"])
def test_lif_parameters(step_path, tau, v_leak):
    rng = np.random.default_rng(3)
    n, spikes = 6, 0
    tau, v_leak = per_neuron(rng, tau, n, 1.1, 5.0), per_neuron(rng, v_leak, n, -0.5, 0.5)
    # inputs longer than the membrane add their first n values; a shorter one adds nothing
    for in_type, threshold_type, extra in ((F32, F32, 0), (F64, F32, 2), (F32, F64, -1), (F32, F16, 0)):
        lif = LIF(tau, rng.uniform(0.1, 1.0, n).astype(threshold_type), v_leak=v_leak)
        x = rng.uniform(-0.3, 1.5, n + extra).astype(in_type)
        got = run_both(chain(("lif", lif)), {"in": x}, 60, step_by_step=in_type is F64)
        spikes += sum(got.spike_counts.values())
    assert spikes > 0


@pytest.mark.parametrize("weight_type", [F32, F64, F16, np.int8, np.int64])
@pytest.mark.parametrize("bias", ["none", "same", F32, F64, "python float", "numpy scalar", "(1,)"])
@pytest.mark.parametrize("in_type", [F32, F64, np.int32])
def test_affine_weights_biases_and_inputs(step_path, weight_type, bias, in_type):
    rng = np.random.default_rng(11)
    floating = np.dtype(weight_type).kind == "f"
    weight = dyadic(rng, (3, 5), weight_type, denominator=8 if floating else 1)
    same = dyadic(rng, 3, weight_type) if floating else rng.integers(-2, 3, 3)
    biases = {"none": None, "same": same, F32: dyadic(rng, 3, F32), F64: dyadic(rng, 3, F64)}
    biases |= {"python float": 0.375, "numpy scalar": F32(-1.5), "(1,)": np.array([0.25], F32)}
    x = dyadic(rng, 5, in_type) if in_type is not np.int32 else rng.integers(-3, 4, 5).astype(in_type)
    got = run_both(chain(("fc", Affine(weight, biases[bias]))), {"in": x}, 6, step_by_step=True)
    if bias == "none":
        assert got.outputs["out"].dtype == F64


@pytest.mark.parametrize("shape, cols", [((4,), 3), ((4,), 5), ((2, 3), 5), ((2, 3), 6), ((), 1), ((), 2)])
def test_affine_passes_a_flattened_input_of_another_length_through(step_path, shape, cols):
    rng = np.random.default_rng(2)
    x = dyadic(rng, shape)
    fc = Affine(dyadic(rng, (2, cols)), dyadic(rng, 2))
    got = run_both(chain(("fc", fc)), {"in": x}, 10, step_by_step=True)
    if x.size != cols:
        assert_same_values(got.outputs["out"], x.flatten())


SPIKE_WEIGHTS = [(t, w) for t in (F32, F64, F16) for w in ("finite", "inf", "nan")] + [(np.int8, "finite")]


@pytest.mark.parametrize("weight_type, weights", SPIKE_WEIGHTS)
def test_affine_fed_by_spikes(step_path, numpy_errors, weight_type, weights):
    # A zero spike times an infinite weight is NaN: event-driven sums must not drop it.
    rng = np.random.default_rng(9)
    weight = dyadic(rng, (5, 6), weight_type, denominator=8 if np.dtype(weight_type).kind == "f" else 1)
    if weights != "finite":
        weight[1, 2] = np.inf if weights == "inf" else np.nan
    lif = LIF(2.0, np.full(6, 0.5, F32))
    graph = chain(("lif", lif), ("relay", ReLU()), ("fc", Affine(weight, dyadic(rng, 5))))
    graph.add("lif_out", Output(), after="lif")
    got = run_both(graph, {"in": rng.uniform(0.0, 0.6, 6).astype(F32)}, 50, step_by_step=True)
    assert 0 < got.spike_counts["lif"] < 300


@pytest.mark.parametrize("bad", [np.nan, np.inf])
@pytest.mark.parametrize("source", ["stimulus", "spikes"])
def test_affine_with_one_input_column_and_a_non_finite_weight(step_path, numpy_errors, bad, source):
    # np.dot of an [n, 1] matrix scales its column by the single input, and a zero input gives
    # zeros even where the column holds NaN or infinity.
    fc = ("fc", Affine(np.array([[bad], [1.0]], F32), np.zeros(2, F32)))
    graph = chain(fc) if source == "stimulus" else chain(("lif", LIF(2.0, np.full(1, 5.0, F32))), fc)
    run_both(graph, {"in": np.zeros(1, F32)}, 3)


def test_values_beyond_the_float32_range_saturate(step_path, numpy_errors):
    graph = chain(("fc", Affine(np.diag([4.0, 2.0, -1e38]))))
    graph.add("big", Input()).add("lif", LIF(2.0, np.full(6, 1e38)), after="big")
    graph.add("o", Output(), after="lif")
    extreme = np.array([1e39, -1e300, np.inf, -np.inf, np.nan, 2.0])
    got = run_both(graph, {"in": np.array([1e39, -1e300, 2.0]), "big": extreme}, 12, step_by_step=True)
    assert np.array_equal(got.outputs["out"], [3.4028234663852886e38, -3.4028234663852886e38, -2e38])


RECURRENT = {
    "self-loop": [("in", "a"), ("a", "a"), ("a", "out")],
    "back edge": [("in", "a"), ("a", "b"), ("b", "a"), ("b", "out")],
    "self-loop first": [("a", "a"), ("in", "a"), ("a", "out")],
    "lif self-loop": [("in", "lif"), ("lif", "lif"), ("lif", "out")],
    "lif into its input": [("in", "a"), ("a", "lif"), ("lif", "a"), ("lif", "out")],
    "lif into affine": [("in", "fc"), ("fc", "lif"), ("lif", "fc"), ("lif", "out")],
    "output in cycle": [("in", "a"), ("a", "out"), ("out", "lif"), ("lif", "a")],
    "affine self-loop": [("in", "fc"), ("fc", "fc"), ("fc", "out")],
    "duplicate edges": [("in", "a"), ("in", "a"), ("a", "lif"), ("lif", "a"), ("lif", "a"), ("a", "out")],
}


@pytest.mark.parametrize("n_steps", [1, 2, 3, 4, 40])
@pytest.mark.parametrize("edges", list(RECURRENT.values()), ids=list(RECURRENT))
def test_recurrent_graphs(step_path, edges, n_steps):
    rng = np.random.default_rng(4)
    # a signed permutation: an Affine loop onto itself grows its values only linearly
    permutation = np.array([[0, 1, 0, 0], [0, 0, -1, 0], [0, 0, 0, 1], [-1, 0, 0, 0]], F32)
    nodes = {"in": Input(), "a": Skip(), "b": ReLU(), "fc": Affine(permutation, dyadic(rng, 4))}
    nodes |= {"lif": LIF(3.0, np.full(4, 0.75, F32), v_leak=-0.125), "out": Output()}
    run_both(Graph(nodes, edges), {"in": dyadic(rng, 4)}, n_steps, step_by_step=True)


# fmt: off
CYCLIC = [({"max_iterations": 7}, 1, 7), ({"max_iterations": 7}, 3, 3), ({"max_iterations": 0}, 1, 0),
          ({"max_iterations": 25.9}, 1, 25), ({"max_iterations": None}, 1, 1), ({}, 1, 1), (None, 4, 4)]
# fmt: on


@pytest.mark.parametrize("cyclic_config, n_steps, ran", CYCLIC)
def test_cyclic_config_sets_the_step_count(step_path, cyclic_config, n_steps, ran):
    graph = chain(("a", Skip()), ("lif", LIF(2.0, np.full(3, 0.5, F32)))).connect("lif", "a")
    graph.cyclic_config = cyclic_config
    got = run_both(graph, {"in": dyadic(np.random.default_rng(8), 3)}, n_steps, step_by_step=True)
    assert got.timesteps_run == ran and len(got.node_states) == ran


def test_stimulus_for_a_computed_node_is_restored_every_step(step_path):
    # Every step starts from the stimulus, so a node read before it is computed in the step
    # (over the back edge) sees the stimulus, not its value of the previous step.
    rng = np.random.default_rng(12)
    graph = chain(("a", Skip()), ("b", ReLU()), ("lif", LIF(2.0, np.full(4, 0.5, F32))))
    graph.connect("b", "a").add("b_out", Output(), after="b")
    inputs = {"in": dyadic(rng, 4), "b": dyadic(rng, 4), "lif": np.ones(4, F32)}
    run_both(graph, inputs, 30, step_by_step=True)


@pytest.mark.parametrize("order", ["duplicates", "omissions", "tuple", "reversed"])
def test_execution_orders_from_the_graph_utilities(step_path, monkeypatch, order):
    # The step follows whatever order build_execution_context returns, repeats included.
    build = graph_utils.build_execution_context

    def patched(graph):
        exec_order, predecessors, is_dag = build(graph)
        orders = {
            "duplicates": exec_order + exec_order[1:3],
            "omissions": [n for n in exec_order if n != "b"],
        }
        orders |= {"tuple": tuple(exec_order), "reversed": exec_order[::-1]}
        return orders[order], predecessors, is_dag

    monkeypatch.setattr(graph_utils, "build_execution_context", patched)
    rng = np.random.default_rng(13)
    fc, lif = Affine(dyadic(rng, (4, 4)), dyadic(rng, 4)), LIF(2.0, np.full(4, 0.25, F32))
    graph = chain(("a", fc), ("b", Skip()), ("lif", lif))
    run_both(graph.connect("lif", "b"), {"in": dyadic(rng, 4)}, 25, step_by_step=True)


OWN = {"float32": np.arange(4, dtype=F32), "strided": np.arange(6.0)[::2], "list": [1.0, 2.0]}
OWN |= {"fortran": np.ones((3, 2), F32, order="F"), "numpy scalar": np.float32(2.5)}


@pytest.mark.parametrize("n_steps", [1, 2, 3, 30])
@pytest.mark.parametrize("x", list(OWN.values()), ids=list(OWN))
def test_an_output_of_an_input_returns_the_callers_object(step_path, x, n_steps):
    got = run_both(chain(("mid", Output())), {"in": x}, n_steps, step_by_step=True)
    assert got.outputs["out"] is x and got.outputs["mid"] is x


def test_inputs_without_data_are_float32_zeros(step_path):
    graph = Graph({"a": Input(input_type={"x": (3,)}), "b": Input(input_type=np.array([2, 2]))})
    graph.add("c", Input(input_type=(4,))).add("sum", Skip(), after=["a", "c"])
    for name in ("a", "b", "c", "sum"):
        graph.add("o" + name, Output(), after=name)
    got = run_both(graph, None, 5)
    assert got.outputs["ob"].shape == (2, 2) and got.outputs["oc"].shape == (1,)
    # data for some inputs only: the others are filled with a single zero
    run_both(graph, {"a": np.ones(3, F32)}, 5, step_by_step=True)
    # an input declaring no shape is refused before any step
    graph.nodes["d"] = Input()
    assert run_both(graph, None, 5) is None


@pytest.mark.parametrize("threshold", [1.0, [1.0], np.array(1.0)], ids=["float", "list", "0-d"])
def test_a_lif_threshold_must_be_an_array_with_a_neuron_axis(step_path, threshold):
    assert run_both(chain(("lif", LIF(2.0, threshold))), {"in": np.ones(1, F32)}, 0) is None


def test_snapshots_are_independent_copies(step_path):
    rng = np.random.default_rng(6)
    x = dyadic(rng, 4)
    fc, lif = Affine(dyadic(rng, (4, 4)), dyadic(rng, 4)), LIF(2.0, np.full(4, 0.25, F32))
    graph = chain(("fc", fc), ("lif", lif)).add("in_out", Output(), after="in")
    got = run_both(graph, {"in": x}, 12, step_by_step=True)
    states = got.node_states
    assert any(not np.array_equal(a["lif"], b["lif"]) for a, b in itertools.pairwise(states))
    kept = [{k: v.copy() for k, v in state.items()} for state in states]
    outputs = {k: v.copy() for k, v in got.outputs.items()}
    # writing into one snapshot changes no other snapshot, no output and no input
    for i, state in enumerate(states):
        for value in state.values():
            value[...] = 99
        for later, copy in zip(states[i + 1 :], kept[i + 1 :]):
            for name, value in later.items():
                assert_same_values(value, copy[name])
        for name, value in got.outputs.items():
            assert_same_values(value, outputs[name])
        assert np.array_equal(x, kept[0]["in"])


@pytest.mark.parametrize("n_steps", [1, 2, 5, 30])
def test_errors_raised_inside_a_step_are_reported(step_path, n_steps):
    # From the second step on, the integer input is added in place to the float spikes of the
    # back edge, which numpy refuses to cast back to integers; the bias never broadcasts.
    nodes = {"x": Input(), "y": Input(), "a": Skip(), "lif": LIF(2.0, np.full(4, 0.5, F32)), "out": Output()}
    graph = Graph(nodes, [("x", "a"), ("y", "a"), ("lif", "a"), ("a", "lif"), ("lif", "out")])
    inputs = {"x": np.ones(4, np.int64), "y": np.ones(3, F32)}
    got = run_both(graph, inputs, n_steps, step_by_step=True)
    assert got.outputs_valid is (n_steps == 1)
    graph = chain(("fc", Affine(np.ones((3, 2), F32), np.ones(4, F32))))
    got = run_both(graph, {"in": np.ones(2, F32)}, n_steps)
    assert got.errors and not got.outputs_valid


@pytest.mark.parametrize("trap", ["errstate", "warnings"])
def test_floating_point_traps_agree(step_path, trap):
    # With numpy set to raise on overflow (or warnings turned into errors), the sum that
    # overflows on the fourth step must be reported on both paths, as the numpy steps report it.
    graph = chain(("acc", Skip())).connect("acc", "acc")
    with warnings.catch_warnings(), np.errstate(over="raise" if trap == "errstate" else "warn"):
        warnings.simplefilter("error" if trap == "warnings" else "ignore", RuntimeWarning)
        got = run_both(graph, {"in": np.full(3, 1e38, F32)}, 6, step_by_step=True)
    assert not got.outputs_valid and "overflow" in got.errors[0]


@pytest.mark.parametrize("dtype", [F32, F64])
@pytest.mark.parametrize("mode", ["raise", "warn", "ignore"])
def test_decay_of_tau_arrays_under_numpy_error_modes(step_path, dtype, mode):
    # 1 - 1/tau of a tau array: a zero tau divides by zero, a huge one underflows; either is
    # reported (or not) as numpy's error modes say, and the decays of the other taus agree.
    big = np.finfo(dtype).max
    taus = [np.array([2.0, 3.5, 0.0, 7.0], dtype), np.array([2.0, big, 5.0, 9.0], dtype),
            np.array([1.5, np.inf, np.nan, 4.0], dtype), np.array(3.25, dtype)]  # fmt: skip
    for tau in taus:
        graph = chain(("lif", LIF(tau, np.full(4, 0.5, F32))))
        with warnings.catch_warnings(), np.errstate(all=mode):
            warnings.simplefilter("error" if mode == "warn" else "ignore", RuntimeWarning)
            run_both(graph, {"in": np.linspace(0.1, 0.9, 4, dtype=F32)}, 3, step_by_step=True)


@pytest.mark.parametrize("density", [0.02, 0.3, 0.9])
@pytest.mark.parametrize("weight_type", [F32, F64])
def test_layers_fed_by_sums_of_spikes(step_path, density, weight_type):
    # The layer's input is a stimulus of zeros and ones plus its own spikes of the previous
    # step: counts of 0, 1 and 2, sparse or dense from step to step.
    rng = np.random.default_rng(int(density * 100))
    n = 40
    x = (rng.random(n) < density).astype(F32)
    graph = Graph(
        [("in", Input()), ("fc", Affine(dyadic(rng, (n, n), weight_type), dyadic(rng, n))),
         ("lif", LIF(3.0, np.full(n, 0.5, F32))), ("out", Output())],
        [("in", "fc"), ("fc", "lif"), ("lif", "out"), ("lif", "fc")],
    )  # fmt: skip
    got = run_both(graph, {"in": x}, 60, step_by_step=True)
    assert 0 < got.spike_counts["lif"] < 60 * n
