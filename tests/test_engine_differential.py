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
from zelka.backend.config import CompileConfig
from zelka.backend.cpu import graph_utils
from zelka.ir import LIF, Affine, Dropout, Flatten, Graph, Input, Output, ReLU, Skip

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

F32, F64 = np.float32, np.float64
PASS_KINDS = (ReLU, Skip, Flatten, Dropout)


def dyadic(rng, shape, dtype=F32, steps=8, denominator=8):
    return (rng.integers(-steps, steps + 1, size=shape) / denominator).astype(dtype)


TAUS = (2.0, 3.0, 1.7, 4, F32(2.0), F32(3.0), F64(3.0), "float32", "float64", "one")
LEAKS = (0.0, -0.25, 0.1, 1, F32(0.5), F64(-0.1), "float32", "float64")


def lif_parameter(rng, n, choices, low, high):
    """One of `choices`, where a name stands for per-neuron values of that type ("one": a
    single value in a float32 array)."""
    choice = choices[rng.integers(len(choices))]
    if not isinstance(choice, str):
        return choice
    return rng.uniform(low, high, 1 if choice == "one" else n).astype(F64 if choice == "float64" else F32)


def random_lif(rng, n):
    threshold = rng.uniform(-0.2, 1.5, n).astype([F32, F64, np.float16][rng.integers(3)])
    tau = lif_parameter(rng, n, TAUS, 1.2, 6.0)
    return LIF(tau, threshold, v_leak=lif_parameter(rng, n, LEAKS, -0.5, 0.5))


def random_graph(rng, general=False):
    """A random graph of inputs, Affine, LIF, pass-through and Output nodes with fan-in of
    equal and unequal shapes, back edges from LIF nodes, self-loops and Outputs anywhere.

    Cycles that could grow values exponentially are left out: back edges start at LIF nodes
    (their spikes are 0 or 1) and at most one pass-through node loops onto itself.  A path
    crosses at most two Affine layers or self-loops, which keeps dyadic float32 products exact.
    With `general`, every value is a random float64 instead of a dyadic one.
    """

    def values(shape, dtype):
        return rng.standard_normal(shape) if general else dyadic(rng, shape, dtype)

    def pick(options):
        return options[rng.integers(len(options))]

    nodes, edges, shapes, depth, inputs = [], [], {}, {}, {}
    float_types = [F64] if general else [F32, F32, F64]
    for i in range(rng.integers(1, 4)):
        name = f"in{i}"
        shape = pick([(4,), (4,), (3,), (5,), (2, 3)])
        # an integer stimulus keeps the engine on numpy steps: rare, to leave most graphs native
        dtype = np.int32 if not general and rng.random() < 0.08 else pick(float_types)
        nodes.append((name, Input()))
        inputs[name] = rng.integers(-3, 4, shape).astype(dtype) if dtype is np.int32 else values(shape, dtype)
        shapes[name], depth[name] = shape, 0
    lifs, looped = [], False
    for i in range(rng.integers(2, 8)):
        name = f"n{i}"
        sources = list(shapes)
        first = pick(sources)
        preds = [first]
        for _ in range(pick([0, 0, 1, 2, 3])):
            same = [s for s in sources if shapes[s] == shapes[first]]
            preds.append(pick(same if rng.random() < 0.7 else sources))
        shape = shapes[first]
        size = int(np.prod(shape))
        level = max(depth[p] for p in preds)
        kind = pick(["affine", "affine", "lif", "pass", "output"])
        if kind == "affine" and level >= 2:
            kind = "pass"
        if kind == "affine":
            rows = int(rng.integers(1, 6))
            cols = size if rng.random() < 0.85 else size + 1
            wtype = pick(float_types)
            bias = pick([None, values(rows, wtype), values(rows, F64), 0.5, F32(-0.25)])
            node = Affine(values((rows, cols), wtype), bias)
            shape = (rows,) if cols == size else (size,)
            level += 1
        elif kind == "lif":
            n = int(shape[0]) + (rng.random() < 0.2)
            node = random_lif(rng, n)
            shape, level = (n,), 0
            lifs.append(name)
            if rng.random() < 0.3:
                preds.append(name)
        elif kind == "pass":
            node = pick(PASS_KINDS)()
            if not looped and level < 2 and rng.random() < 0.3:
                preds.append(name)
                looped = True
                level += 1
        else:
            node = Output()
        nodes.append((name, node))
        edges.extend((p, name) for p in preds)
        shapes[name], depth[name] = shape, level
    for lif in lifs:
        if rng.random() < 0.5:
            edges.append((lif, pick([name for name, _ in nodes if name.startswith("n")])))
    for i, name in enumerate(rng.choice(list(shapes), size=2, replace=False)):
        nodes.append((f"out{i}", Output()))
        edges.append((name, f"out{i}"))
    order = rng.permutation(len(nodes))
    return Graph([nodes[i] for i in order], edges), inputs


@pytest.mark.parametrize("n_steps", [0, 1, 2, 3, 30])
@pytest.mark.parametrize("seed", range(30))
def test_random_graphs(step_path, seed, n_steps):
    rng = np.random.default_rng(seed)
    graph, inputs = random_graph(rng)
    run_both(graph, inputs, n_steps, step_by_step=seed % 2 == 0)


@pytest.mark.parametrize("seed", range(12))
def test_random_graphs_with_general_float64_values(step_path, seed):
    rng = np.random.default_rng(1000 + seed)
    graph, inputs = random_graph(rng, general=True)
    run_both(graph, inputs, 25, step_by_step=True, exact=False)


FAN_IN = [
    [(4,), (4,)],
    [(4,), (3,)],
    [(4,), (3,), (4,)],
    [(3,), (4,), (4,), (3,)],
    [(5,), (5,), (5,)],
    [(5,)] * 6,
    [(1,)] * 9,
    [(2, 3), (2, 3), (2, 3)],
    [(2, 3), (6,), (2, 3)],
    [(0,), (0,), (0,)],
]


@pytest.mark.parametrize("dtypes", [(F32,), (F64,), (F32, F64), (F64, F32)], ids=str)
@pytest.mark.parametrize("shapes", FAN_IN, ids=str)
def test_fan_in_sums_in_predecessor_order(step_path, shapes, dtypes):
    # Values of very different magnitudes make float sums depend on the order of addition.
    rng = np.random.default_rng(len(shapes))
    graph = Graph([("sum", Skip()), ("out", Output())], [("sum", "out")])
    inputs = {}
    for i, shape in enumerate(shapes):
        name = f"in{i}"
        graph.nodes[name] = Input()
        graph.edges.append((name, "sum"))
        scale = 10.0 ** rng.integers(-8, 9, shape)
        inputs[name] = (rng.standard_normal(shape) * scale).astype(dtypes[i % len(dtypes)])
    for n_steps in (1, 3, 20):
        run_both(graph, inputs, n_steps, step_by_step=True)


@pytest.mark.parametrize("shapes", [[(4,), (4,), (4,)], [(4,), (3,), (4,)], [(4,)] * 5], ids=str)
def test_fan_in_feeding_affine_and_lif(step_path, shapes):
    # The Affine layer sums dyadic inputs (exact in any order); the LIF layer sums random
    # floats, which an element-wise sum must add in predecessor order.
    rng = np.random.default_rng(7)
    graph = Graph(
        [
            ("fc", Affine(dyadic(rng, (3, 4)), dyadic(rng, 3))),
            ("lif", LIF(3.0, np.full(4, 0.3, F32))),
            ("o_fc", Output()),
            ("o_lif", Output()),
        ],
        [("fc", "o_fc"), ("lif", "o_lif")],
    )
    inputs = {}
    for i, shape in enumerate(shapes):
        graph.nodes[f"d{i}"], graph.nodes[f"r{i}"] = Input(), Input()
        graph.edges += [(f"d{i}", "fc"), (f"r{i}", "lif")]
        inputs[f"d{i}"] = dyadic(rng, shape)
        inputs[f"r{i}"] = rng.uniform(-0.2, 0.4, shape).astype(F32)
    # spikes flow back into both sums, so their values change from step to step
    graph.edges += [("lif", "fc"), ("lif", "lif")]
    run_both(graph, inputs, 40, step_by_step=True)


@pytest.mark.parametrize(
    "tau", [2.0, 3.0, 7, F32(2.0), F32(3.0), F64(3.0), "f32 array", "f64 array", "(1,) array"]
)
@pytest.mark.parametrize("v_leak", [0.0, -0.3, 2, F32(0.5), F64(-0.1), "f32 array", "f64 array"])
def test_lif_parameters(step_path, tau, v_leak):
    rng = np.random.default_rng(3)
    n = 6
    arrays = {
        "f32 array": rng.uniform(1.1, 5.0, n).astype(F32),
        "f64 array": rng.uniform(1.1, 5.0, n),
        "(1,) array": np.array([2.5]),
    }
    leak_arrays = {"f32 array": rng.uniform(-0.5, 0.5, n).astype(F32), "f64 array": rng.uniform(-0.5, 0.5, n)}
    tau = arrays.get(tau, tau) if isinstance(tau, str) else tau
    v_leak = leak_arrays.get(v_leak, v_leak) if isinstance(v_leak, str) else v_leak
    spikes = 0
    # inputs longer than the membrane add their first n values; a shorter one adds nothing
    for in_type, threshold_type, length in [
        (F32, F32, n),
        (F64, F32, n + 2),
        (F32, F64, n - 1),
        (F32, np.float16, n),
    ]:
        graph = Graph.sequential(
            ("in", Input()),
            ("lif", LIF(tau, rng.uniform(0.1, 1.0, n).astype(threshold_type), v_leak=v_leak)),
            ("out", Output()),
        )
        x = rng.uniform(-0.3, 1.5, length).astype(in_type)
        spikes += sum(run_both(graph, {"in": x}, 60, step_by_step=in_type is F64).spike_counts.values())
    assert spikes > 0


@pytest.mark.parametrize("weight_type", [F32, F64, np.float16, np.int8, np.int64])
@pytest.mark.parametrize("bias", ["none", "same", F32, F64, "python float", "numpy scalar", "(1,)"])
@pytest.mark.parametrize("in_type", [F32, F64, np.int32])
def test_affine_weights_biases_and_inputs(step_path, weight_type, bias, in_type):
    rng = np.random.default_rng(11)
    weight = (rng.integers(-8, 9, (3, 5)) / (8 if np.dtype(weight_type).kind == "f" else 1)).astype(
        weight_type
    )
    biases = {
        "none": None,
        "same": dyadic(rng, 3, weight_type) if np.dtype(weight_type).kind == "f" else rng.integers(-2, 3, 3),
        F32: dyadic(rng, 3, F32),
        F64: dyadic(rng, 3, F64),
        "python float": 0.375,
        "numpy scalar": F32(-1.5),
        "(1,)": np.array([0.25], F32),
    }
    x = dyadic(rng, 5, in_type) if in_type is not np.int32 else rng.integers(-3, 4, 5).astype(in_type)
    graph = Graph.sequential(("in", Input()), ("fc", Affine(weight, biases[bias])), ("out", Output()))
    got = run_both(graph, {"in": x}, 6, step_by_step=True)
    if bias == "none":
        assert got.outputs["out"].dtype == F64


@pytest.mark.parametrize("shape, cols", [((4,), 3), ((4,), 5), ((2, 3), 5), ((2, 3), 6), ((), 1), ((), 2)])
def test_affine_passes_a_flattened_input_of_another_length_through(step_path, shape, cols):
    rng = np.random.default_rng(2)
    x = dyadic(rng, shape)
    graph = Graph.sequential(
        ("in", Input()), ("fc", Affine(dyadic(rng, (2, cols)), dyadic(rng, 2))), ("out", Output())
    )
    got = run_both(graph, {"in": x}, 10, step_by_step=True)
    expected = x.flatten() if x.size != cols else None
    if expected is not None:
        assert_same_values(got.outputs["out"], expected)


@pytest.mark.parametrize(
    "weight_type, weights",
    [(t, w) for t in (F32, F64, np.float16) for w in ("finite", "inf", "nan")] + [(np.int8, "finite")],
)
def test_affine_fed_by_spikes(step_path, numpy_errors, weight_type, weights):
    # A zero spike times an infinite weight is NaN: event-driven sums must not drop it.
    rng = np.random.default_rng(9)
    weight = dyadic(rng, (5, 6), weight_type, denominator=8 if np.dtype(weight_type).kind == "f" else 1)
    if weights != "finite":
        weight[1, 2] = np.inf if weights == "inf" else np.nan
    graph = Graph.sequential(
        ("in", Input()),
        ("lif", LIF(2.0, np.full(6, 0.5, F32))),
        ("relay", ReLU()),
        ("fc", Affine(weight, dyadic(rng, 5))),
        ("out", Output()),
    )
    graph.add("lif_out", Output(), after="lif")
    x = rng.uniform(0.0, 0.6, 6).astype(F32)
    got = run_both(graph, {"in": x}, 50, step_by_step=True)
    assert 0 < got.spike_counts["lif"] < 300


def test_values_beyond_the_float32_range_saturate(step_path, numpy_errors):
    x = np.array([1e39, -1e300, 2.0])
    extreme = np.array([1e39, -1e300, np.inf, -np.inf, np.nan, 2.0])
    graph = Graph(
        {
            "in": Input(),
            "fc": Affine(np.diag([4.0, 2.0, -1e38])),
            "fc_out": Output(),
            "big": Input(),
            "lif": LIF(2.0, np.full(6, 1e38)),
            "out": Output(),
        },
        [("in", "fc"), ("fc", "fc_out"), ("big", "lif"), ("lif", "out")],
    )
    got = run_both(graph, {"in": x, "big": extreme}, 12, step_by_step=True)
    assert np.array_equal(got.outputs["fc_out"], [3.4028234663852886e38, -3.4028234663852886e38, -2e38])


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
    nodes = {
        "in": Input(),
        "a": Skip(),
        "b": ReLU(),
        # a signed permutation: an Affine loop onto itself grows its values only linearly
        "fc": Affine(
            np.array([[0, 1, 0, 0], [0, 0, -1, 0], [0, 0, 0, 1], [-1, 0, 0, 0]], F32), dyadic(rng, 4)
        ),
        "lif": LIF(3.0, np.full(4, 0.75, F32), v_leak=-0.125),
        "out": Output(),
    }
    graph = Graph(nodes, edges)
    run_both(graph, {"in": dyadic(rng, 4)}, n_steps, step_by_step=True)


@pytest.mark.parametrize(
    "cyclic_config, n_steps, ran",
    [
        ({"max_iterations": 7}, 1, 7),
        ({"max_iterations": 7}, 3, 3),
        ({"max_iterations": 0}, 1, 0),
        ({"max_iterations": 25.9}, 1, 25),
        ({"max_iterations": None}, 1, 1),
        ({}, 1, 1),
        (None, 4, 4),
    ],
)
def test_cyclic_config_sets_the_step_count(step_path, cyclic_config, n_steps, ran):
    rng = np.random.default_rng(8)
    graph = Graph(
        {"in": Input(), "a": Skip(), "lif": LIF(2.0, np.full(3, 0.5, F32)), "out": Output()},
        [("in", "a"), ("a", "lif"), ("lif", "a"), ("lif", "out")],
        cyclic_config=cyclic_config,
    )
    got = run_both(graph, {"in": dyadic(rng, 3)}, n_steps, step_by_step=True)
    assert got.timesteps_run == ran and len(got.node_states) == ran


def test_stimulus_for_a_computed_node_is_restored_every_step(step_path):
    # Every step starts from the stimulus, so a node read before it is computed in the step
    # (over the back edge) sees the stimulus, not its value of the previous step.
    rng = np.random.default_rng(12)
    graph = Graph(
        {
            "in": Input(),
            "a": Skip(),
            "b": ReLU(),
            "lif": LIF(2.0, np.full(4, 0.5, F32)),
            "out": Output(),
            "b_out": Output(),
        },
        [("in", "a"), ("b", "a"), ("a", "b"), ("b", "lif"), ("lif", "out"), ("b", "b_out")],
    )
    inputs = {"in": dyadic(rng, 4), "b": dyadic(rng, 4), "lif": np.ones(4, F32)}
    run_both(graph, inputs, 30, step_by_step=True)


@pytest.mark.parametrize("order", ["duplicates", "omissions", "tuple", "reversed"])
def test_execution_orders_from_the_graph_utilities(step_path, monkeypatch, order):
    # The step follows whatever order build_execution_context returns, repeats included.
    build = graph_utils.build_execution_context

    def patched(graph):
        exec_order, predecessors, is_dag = build(graph)
        changed = {
            "duplicates": exec_order + exec_order[1:3],
            "omissions": [name for name in exec_order if name != "b"],
            "tuple": tuple(exec_order),
            "reversed": exec_order[::-1],
        }[order]
        return changed, predecessors, is_dag

    monkeypatch.setattr(graph_utils, "build_execution_context", patched)
    rng = np.random.default_rng(13)
    graph = Graph.sequential(
        ("in", Input()),
        ("a", Affine(dyadic(rng, (4, 4)), dyadic(rng, 4))),
        ("b", Skip()),
        ("lif", LIF(2.0, np.full(4, 0.25, F32))),
        ("out", Output()),
    )
    graph.connect("lif", "b")
    run_both(graph, {"in": dyadic(rng, 4)}, 25, step_by_step=True)


@pytest.mark.parametrize("n_steps", [1, 2, 3, 30])
@pytest.mark.parametrize(
    "x",
    [
        np.arange(4, dtype=F32),
        np.arange(6.0)[::2],
        np.ones((3, 2), F32, order="F"),
        np.float32(2.5),
        [1.0, 2.0],
    ],
    ids=["float32", "strided", "fortran", "numpy scalar", "list"],
)
def test_an_output_of_an_input_returns_the_callers_object(step_path, x, n_steps):
    graph = Graph([("in", Input()), ("mid", Output()), ("out", Output())], [("in", "mid"), ("mid", "out")])
    got = run_both(graph, {"in": x}, n_steps, step_by_step=True)
    assert got.outputs["out"] is x and got.outputs["mid"] is x


def test_inputs_without_data_are_float32_zeros(step_path):
    graph = Graph(
        {
            "a": Input(input_type={"x": (3,)}),
            "b": Input(input_type=np.array([2, 2])),
            "c": Input(input_type=(4,)),
            "oa": Output(),
            "ob": Output(),
            "oc": Output(),
            "sum": Skip(),
            "osum": Output(),
        },
        [("a", "oa"), ("b", "ob"), ("c", "oc"), ("a", "sum"), ("c", "sum"), ("sum", "osum")],
    )
    got = run_both(graph, None, 5)
    assert got.outputs["ob"].shape == (2, 2) and got.outputs["oc"].shape == (1,)
    # data for some inputs only: the others are filled with a single zero
    run_both(graph, {"a": np.ones(3, F32)}, 5, step_by_step=True)
    # an input declaring no shape is refused before any step
    graph.nodes["d"] = Input()
    assert run_both(graph, None, 5) is None


def test_snapshots_are_independent_copies(step_path):
    rng = np.random.default_rng(6)
    x = dyadic(rng, 4)
    graph = Graph.sequential(
        ("in", Input()),
        ("fc", Affine(dyadic(rng, (4, 4)), dyadic(rng, 4))),
        ("lif", LIF(2.0, np.full(4, 0.25, F32))),
        ("out", Output()),
    )
    graph.add("in_out", Output(), after="in")
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
    graph = Graph(
        {"x": Input(), "y": Input(), "a": Skip(), "lif": LIF(2.0, np.full(4, 0.5, F32)), "out": Output()},
        [("x", "a"), ("y", "a"), ("lif", "a"), ("a", "lif"), ("lif", "out")],
    )
    got = run_both(graph, {"x": np.ones(4, np.int64), "y": np.ones(3, F32)}, n_steps, step_by_step=True)
    assert got.outputs_valid is (n_steps == 1)
    graph = Graph.sequential(
        ("in", Input()), ("fc", Affine(np.ones((3, 2), F32), np.ones(4, F32))), ("out", Output())
    )
    got = run_both(graph, {"in": np.ones(2, F32)}, n_steps)
    assert got.errors and not got.outputs_valid


@pytest.mark.parametrize(
    "precision", ["fp16", "int16", "int8", "int4", "ap_fixed<8,1>", "ap_fixed<4,6>", "bogus"]
)
def test_target_precisions(step_path, monkeypatch, precision):
    # Large inputs make the Affine and LIF layers saturate to the precision's range; an unknown
    # precision is reported by the first saturation.
    defaults = CompileConfig.__init__.__defaults__
    monkeypatch.setattr(CompileConfig.__init__, "__defaults__", (precision,) + defaults[1:])
    for seed in range(8):
        rng = np.random.default_rng(200 + seed)
        graph, inputs = random_graph(rng)
        inputs = {k: v * v.dtype.type(37) for k, v in inputs.items()}
        run_both(graph, inputs, 20, step_by_step=True)


@pytest.mark.parametrize("shapes", [[(2,)], [(2,), (2,)], [(2,), (2,), (2,)], [(2,), (3,), (2,)]], ids=str)
def test_signed_zeros_of_sums(step_path, numpy_errors, shapes):
    # numpy's sum over predecessors of one shape starts from +0.0, so -0.0 comes out as +0.0;
    # the in-place adds for predecessors of different shapes keep -0.0.
    graph = Graph([("sum", Skip()), ("out", Output())], [("sum", "out")])
    inputs = {}
    for i, shape in enumerate(shapes):
        graph.nodes[f"in{i}"] = Input()
        graph.edges.append((f"in{i}", "sum"))
        inputs[f"in{i}"] = np.full(shape, -0.0, F32)
    run_both(graph, inputs, 3)


@pytest.mark.parametrize("bad", [np.nan, np.inf])
@pytest.mark.parametrize("source", ["stimulus", "spikes"])
def test_affine_with_one_input_column_and_a_non_finite_weight(step_path, numpy_errors, bad, source):
    # np.dot of an [n, 1] matrix scales its column by the single input, and a zero input gives
    # zeros even where the column holds NaN or infinity.
    graph = Graph.sequential(
        ("in", Input()), ("fc", Affine(np.array([[bad], [1.0]], F32), np.zeros(2, F32))), ("out", Output())
    )
    if source == "spikes":
        graph = Graph.sequential(
            ("in", Input()),
            ("lif", LIF(2.0, np.full(1, 5.0, F32))),
            ("fc", Affine(np.array([[bad], [1.0]], F32), np.zeros(2, F32))),
            ("out", Output()),
        )
    run_both(graph, {"in": np.zeros(1, F32)}, 3)


@pytest.mark.parametrize("trap", ["errstate", "warnings"])
def test_floating_point_traps_agree(step_path, trap):
    # With numpy set to raise on overflow (or warnings turned into errors), the sum that
    # overflows on the fourth step must be reported on both paths, as the numpy steps report it.
    graph = Graph(
        {"in": Input(), "acc": Skip(), "out": Output()}, [("in", "acc"), ("acc", "acc"), ("acc", "out")]
    )
    with warnings.catch_warnings(), np.errstate(over="raise" if trap == "errstate" else "warn"):
        warnings.simplefilter("error" if trap == "warnings" else "ignore", RuntimeWarning)
        got = run_both(graph, {"in": np.full(3, 1e38, F32)}, 6, step_by_step=True)
    assert not got.outputs_valid and "overflow" in got.errors[0]
