"""The graph IR and the CPU graph utilities' execution order."""

import numpy as np
import pytest

from zelka._ir import node_kinds, passed_through_computations
from zelka.backend.cpu.graph_utils import build_execution_context
from zelka.ir import LIF, NODE_KINDS, Affine, Conv2d, Flatten, Graph, Input, Output, ReLU

COMMON = ["output_type", "core_id", "precision", "reuse_factor", "weight_t", "bias_t", "accum_t", "result_t"]


def test_every_node_kind_carries_the_common_settings_after_its_own_fields():
    assert len(NODE_KINDS) == 25
    for kind in NODE_KINDS:
        fields = list(kind.__dataclass_fields__)
        assert fields[-8:] == COMMON, kind
    conv = Conv2d(np.zeros((2, 1, 3, 3)), stride=(2, 2), core_id=3)
    d = conv.to_dict()
    assert list(d)[:3] == ["type", "weight", "bias"] and d["type"] == "Conv2d"
    assert d["stride"] == (2, 2) and d["core_id"] == 3 and d["dilation"] == 1


def test_the_backends_know_each_ir_class_by_its_name_and_fields_in_declaration_order():
    declared = [(kind.__name__, list(kind.__dataclass_fields__)[:-8]) for kind in NODE_KINDS]
    assert node_kinds() == declared
    # what a pass-through graph passes through and a computed graph computes, in table order
    assert passed_through_computations() == [
        "SpikingAffine", "Conv1d", "Conv2d", "MaxPool2d", "AvgPool2d", "BatchNorm1d", "BatchNorm2d",
        "ReLU", "Sigmoid", "Tanh", "Flatten",
    ]  # fmt: skip


def test_graph_construction_keeps_node_order_and_checks_edges_only_on_request():
    g = Graph({"b": ReLU(), "a": ReLU()}, [("a", "x")])
    assert list(g.nodes) == ["b", "a"]
    with pytest.raises(ValueError, match="unknown node 'x'"):
        g.check()
    with pytest.raises(ValueError, match="unknown node 'x'"):
        Graph({"a": ReLU()}, [("a", "x")], check=True)
    g = Graph().add("in", Input()).add("fc", Affine(np.eye(2)), after="in").add("out", Output(), after=["fc"])
    assert g.edges == [("in", "fc"), ("fc", "out")] and g.check() is g
    with pytest.raises(ValueError, match="already has a node named 'fc'"):
        g.add("fc", ReLU())


def lif(n):
    return LIF(np.full(n, 2.0, np.float32), np.ones(n, np.float32))


def test_shape_check_lists_every_layer_whose_values_the_simulator_would_drop():
    # a transposed weight (passes its input through), a 128-wide layer wired into 10 neurons
    # (the simulator would use the first 10 values), and a sum of a (4,) and a (3,) input
    # (the (3,) one would be dropped), found in one pass
    g = Graph(
        [("a", Input(input_type={"x": (4, 8)})), ("b", Input(input_type={"x": (3,)})), ("flat", Flatten()),
         ("fc", Affine(np.ones((32, 128)))), ("hidden", lif(128)), ("fc2", Affine(np.ones((128, 3)))),
         ("lif", lif(10)), ("sum", ReLU()), ("out", Output())],
        [("a", "flat"), ("flat", "fc"), ("fc", "hidden"), ("b", "fc2"), ("fc2", "lif"), ("a", "sum"), ("b", "sum"),
         ("sum", "out")],
    )  # fmt: skip
    g.check()  # the edges are fine
    with pytest.raises(ValueError) as caught:
        g.check(shapes=True)
    assert str(caught.value).splitlines() == [
        "Graph shapes do not fit:",
        "- Affine 'fc': input of 32 values (shape (4, 8)) for a weight of shape (32, 128), which takes 128",
        "- LIF 'hidden': input of shape (32,) for 128 neurons",
        "- LIF 'lif': input of shape (128,) for 10 neurons",
        "- ReLU 'sum' sums inputs of different shapes: 'a' (4, 8), 'b' (3,)",
        # what a pass-through graph passes through although a computed graph computes it
        "- Flatten 'flat' passes its input through: layers=\"computed\" computes it",
        "- ReLU 'sum' passes its input through: layers=\"computed\" computes it",
    ]
    with pytest.raises(ValueError, match="- LIF 'hidden'"):
        Graph(g.nodes, g.edges, check="shapes")
    with pytest.raises(ValueError, match="check must be False, True or 'shapes', got 'shape'"):
        Graph(g.nodes, g.edges, check="shape")


def test_shape_check_follows_back_edges_and_skips_undeclared_shapes():
    rec = Affine(np.ones((6, 6)))
    fits = Graph(
        [("in", Input(input_type={"x": (6,)})), ("fc", rec), ("lif", lif(6)), ("free", Input()),
         ("fc2", Affine(np.ones((2, 5)))), ("lif2", lif(2)), ("out", Output())],
        [("in", "fc"), ("fc", "lif"), ("lif", "fc"), ("free", "fc2"), ("fc2", "lif2"), ("lif2", "out")],
    )  # fmt: skip
    assert fits.check(shapes=True) is fits
    # the recurrent edge delivers the previous step's 4 spikes into a sum with 6 input values
    fits.nodes["lif"] = lif(4)
    fits.nodes["fc"] = Affine(np.ones((4, 6)))
    with pytest.raises(ValueError) as caught:
        fits.check(shapes=True)
    assert str(caught.value).splitlines()[1:] == [
        "- Affine 'fc' sums inputs of different shapes: 'in' (6,), 'lif' (4,)",
    ]


@pytest.mark.parametrize(
    "nodes, edges, order, is_dag",
    [
        # ties among ready nodes follow the nodes' order, not the edges'
        ("abc", [("c", "a")], ["b", "c", "a"], True),
        ("dcba", [("d", "a"), ("c", "a"), ("b", "a")], ["d", "c", "b", "a"], True),
        # a cycle is broken at its earliest remaining node, then the order goes on
        ("abc", [("a", "b"), ("b", "a"), ("b", "c")], ["a", "b", "c"], False),
        ("xab", [("b", "a"), ("a", "b"), ("x", "b")], ["x", "a", "b"], False),
        ("ab", [("a", "a"), ("a", "b")], ["a", "b"], False),
        # edges naming unknown nodes neither block nor add nodes
        ("ab", [("z", "a"), ("a", "b"), ("b", "q")], ["a", "b"], True),
    ],
)
def test_execution_order(nodes, edges, order, is_dag):
    g = Graph([(n, ReLU()) for n in nodes], edges)
    exec_order, predecessors, dag = build_execution_context(g)
    assert exec_order == order and dag is is_dag and g.is_dag is is_dag
    assert sorted(exec_order) == sorted(nodes)
    assert list(predecessors) == list(nodes)
    for name in nodes:
        assert predecessors[name] == [s for s, d in edges if d == name]


def test_every_node_appears_once_in_large_cyclic_graphs():
    rng = np.random.default_rng(3)
    names = [f"n{i}" for i in range(60)]
    edges = [(names[a], names[b]) for a, b in rng.integers(0, 60, (150, 2))]
    order, preds, _ = build_execution_context(Graph([(n, ReLU()) for n in names], edges))
    assert sorted(order) == sorted(names)
    assert sum(len(p) for p in preds.values()) == len(edges)


def test_edges_must_be_pairs():
    with pytest.raises(ValueError):
        build_execution_context(Graph({"a": ReLU()}, [("a", "a", "a")]))


def test_lif_and_affine_defaults():
    lif = LIF(tau=2.0, v_threshold=np.ones(3))
    assert lif.v_leak == 0.0 and lif.r == 1.0 and lif.core_id == 0 and lif.precision is None
    assert Affine(np.eye(2)).bias is None
