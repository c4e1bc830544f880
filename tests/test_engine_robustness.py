"""The CPU engine on malformed and random graphs: it must raise exactly when the numpy
reference raises, with the same exception, and otherwise report the same errors and results."""

import itertools

import numpy as np
import pytest
from hypothesis import HealthCheck, given, note, settings
from hypothesis import strategies as st

from tests.agreement import compile_both, describe, profile_both, run_both
from zelka.ir import LIF, Affine, Flatten, Graph, Input, Output, ReLU, Skip

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning", "ignore::numpy.exceptions.ComplexWarning")

NAMES = ["a", "b", "c", "d", "e"]
GHOST = "ghost"  # named by edges and stimuli, but not a node of the graph

# Float elements are dyadic or non-finite, so that products and sums are exact in any order.
FLOATS = [0.0, -0.0, 0.5, -1.0, 2.0, 0.25, -3.0, np.nan, np.inf, -np.inf]
DTYPES = dict.fromkeys(["float32", "float64", ">f4", "float16"], FLOATS)
DTYPES |= {"int8": [0, 1, -2, 127, -128], "int64": [0, 3, -1], "uint8": [0, 1, 255], "bool": [False, True]}
DTYPES["complex64"] = [0, 1 + 1j, -0.5j, np.nan]
SHAPES = [(), (0,), (1,), (2,), (3,), (3,), (4,), (4,), (2, 3), (3, 1), (0, 3)]
MATRIX_SHAPES = [(3, 3), (3, 4), (2, 3), (1, 4), (0, 3), (3, 0), (4,), (2, 2, 2), ()]
INPUT_TYPES = [{}, {"x": (3,)}, {"x": (4,)}, {"x": ()}, (3,), None, np.array([3]), np.array([2, 2])]
CYCLIC = [None, None, None, {}, {"max_iterations": 4}, {"max_iterations": None}, {"max_iterations": "3"}]
CYCLIC += [{"max_iterations": "x"}, [1]]


@st.composite
def arrays(draw, shapes=SHAPES, dtypes=tuple(DTYPES)):
    dtype = draw(st.sampled_from(dtypes))
    shape = draw(st.sampled_from(shapes))
    size = int(np.prod(shape))
    elements = draw(st.lists(st.sampled_from(DTYPES[dtype]), min_size=size, max_size=size))
    return np.array(elements, dtype=dtype).reshape(shape)


def float_arrays(shapes=SHAPES):
    return arrays(shapes, ("float32", "float32", "float64", "float16"))


# Anything a caller may put where a value is expected.
scalars = st.sampled_from([None, 0.0, 2.0, 3, True, "x", np.float32(2.0), np.float64(0.5), np.int64(2)])
lists = st.lists(st.sampled_from([0.0, 1.0, -2.5]), max_size=4)
values = st.one_of(float_arrays(), float_arrays(), arrays(), lists, scalars)
tau_values = [2.0, 3.0, 1.0, 0.5, 0.0, 0, 4, np.float32(2.0), np.float64(3.0), None]
taus = st.one_of(st.sampled_from(tau_values), float_arrays())
thresholds = st.one_of(float_arrays([(3,), (4,), (0,), (1,), (), (3, 1)]), arrays(), values)


@st.composite
def nodes(draw):
    kind = draw(st.sampled_from(["input", "output", "affine", "lif", "pass", "pass", "none"]))
    if kind == "input":
        node = Input(input_type=draw(st.sampled_from(INPUT_TYPES)))
    elif kind == "output":
        node = Output()
    elif kind == "affine":
        matrices = float_arrays(MATRIX_SHAPES)
        weight = draw(st.one_of(matrices, matrices, arrays(MATRIX_SHAPES), values))
        bias = draw(st.one_of(st.none(), st.none(), float_arrays([(3,), (2,), (1,), (), (4,)]), values))
        node = Affine(weight, bias)
    elif kind == "lif":
        leaks = st.sampled_from([0.0, -0.5, 1, np.float32(0.5)])
        leak = draw(st.one_of(leaks, float_arrays([(3,), (4,), (1,)]), values))
        node = LIF(draw(taus), draw(thresholds), v_leak=leak)
    elif kind == "pass":
        node = draw(st.sampled_from([ReLU, Skip, Flatten]))()
    else:
        return None  # not a node at all: stepped as a pass-through
    fields = [name for name in ("weight", "bias", "tau", "v_threshold", "v_leak") if name in vars(node)]
    if fields and draw(st.integers(0, 9)) == 0:
        delattr(node, draw(st.sampled_from(fields)))
    return node


@st.composite
def graphs(draw):
    names = NAMES[: draw(st.integers(1, len(NAMES)))]
    graph_nodes = {name: draw(nodes()) for name in names}
    if draw(st.integers(0, 3)):
        graph_nodes["a"] = Input(input_type={"x": (3,)})
    ends = st.sampled_from(names + [GHOST])
    # mostly a chain from the first node, so that values reach the later ones
    edges = [(a, b) for a, b in itertools.pairwise(names) if draw(st.integers(0, 3))]
    edges += draw(st.lists(st.tuples(ends, ends), max_size=6))
    # an Output on one of the nodes, so that results are usually there to compare
    graph_nodes["out"] = Output()
    edges.insert(draw(st.integers(0, len(edges))), (draw(st.sampled_from(names)), "out"))
    return Graph(graph_nodes, edges, cyclic_config=draw(st.sampled_from(CYCLIC)))


stimulus_dicts = st.dictionaries(st.sampled_from(NAMES + [GHOST]), values, max_size=4)
stimuli = st.one_of(st.none(), stimulus_dicts, stimulus_dicts, stimulus_dicts)
step_counts = st.sampled_from([0, 1, 2, 3, 5, 12])
fixtures_allowed = [HealthCheck.function_scoped_fixture]
common = settings(max_examples=150, deadline=None, derandomize=True, suppress_health_check=fixtures_allowed)


@common
@given(graph=graphs(), input_data=stimuli, n_steps=step_counts, step_by_step=st.booleans())
def test_random_graphs_agree_with_the_reference(
    step_path, numpy_errors, graph, input_data, n_steps, step_by_step
):
    note(describe(graph, input_data))
    run_both(graph, input_data, n_steps, step_by_step)


@st.composite
def float_chains(draw):
    """Mostly well-formed float graphs, so that runs get past the first steps and onto the
    native kernels, with non-finite weights, empty and 0-d arrays and odd shapes mixed in."""
    size = draw(st.sampled_from([0, 1, 3, 4]))
    graph = Graph({"in": Input()}, [])
    previous = ["in"]
    for i in range(draw(st.integers(1, 4))):
        name = f"n{i}"
        kind = draw(st.sampled_from(["affine", "lif", "pass"]))
        if kind == "affine":
            rows = draw(st.sampled_from([0, 1, 3, 4]))
            shape = draw(st.sampled_from([(rows, size), (rows, size), (rows, size + 1)]))
            bias = draw(st.one_of(st.none(), float_arrays([(rows,), (1,), ()])))
            node = Affine(draw(float_arrays([shape])), bias)
            size = rows if shape[1] == size else size
        elif kind == "lif":
            size = draw(st.sampled_from([size, size, max(size - 1, 0)]))
            tau = draw(st.sampled_from([2.0, 3.0, np.float32(2.0), np.float64(1.5)]))
            threshold = draw(float_arrays([(size,)]))
            node = LIF(tau, threshold, v_leak=draw(st.sampled_from([0.0, -0.5, np.float32(0.25)])))
        else:
            node = Skip()
        graph.add(name, node, after=draw(st.lists(st.sampled_from(previous), min_size=1, max_size=3)))
        previous.append(name)
    if draw(st.booleans()):
        graph.connect(previous[-1], draw(st.sampled_from(previous[1:])))
    graph.add("out", Output(), after=previous[-1])
    x = draw(float_arrays([(size,), (draw(st.sampled_from([0, 1, 3, 4])),), ()]))
    return graph, {"in": x}


@common
@given(case=float_chains(), n_steps=st.sampled_from([3, 8, 30]), step_by_step=st.booleans())
def test_float_chains_agree_with_the_reference(step_path, numpy_errors, case, n_steps, step_by_step):
    graph, input_data = case
    note(describe(graph, input_data))
    run_both(graph, input_data, n_steps, step_by_step)


@common
@given(graph=graphs(), input_data=stimuli, n_steps=step_counts)
def test_random_graphs_profile_and_compile_as_the_reference_does(step_path, graph, input_data, n_steps):
    note(describe(graph, input_data))
    profile_both(graph, input_data, n_steps)
    compile_both(graph)
