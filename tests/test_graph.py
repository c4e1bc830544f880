"""The graph IR and the CPU graph utilities' execution order."""

import numpy as np
import pytest

from zelka.backend.cpu.graph_utils import build_execution_context
from zelka.ir import LIF, NODE_KINDS, Affine, Conv2d, Graph, Input, Output, ReLU

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
