"""Graphs, every IR node kind and every result record survive pickling (as they do on their way
to and from Dask workers) with their types, dtypes and values."""

import dataclasses
import itertools
import pickle

import numpy as np
import pytest

from zelka.backend.cpu.profiler import CPUProfiler, ProfileResult
from zelka.backend.cpu.simulator import BatchSimulationResult, PerStep, SimulationResult, _cpu_backend
from zelka.backend.run import RunResult, run
from zelka.ir import LIF, NODE_KINDS, Affine, Graph, Input, Output


def assert_same(got, want, where="value"):
    """Same type and, through records, dicts, lists and tuples, equal values; arrays of the
    same dtype and shape, bitwise."""
    assert type(got) is type(want), f"{where}: {type(got).__name__} != {type(want).__name__}"
    if isinstance(want, np.ndarray):
        assert got.dtype == want.dtype and got.shape == want.shape, where
        assert got.tobytes() == want.tobytes() or want.dtype == object and got.tolist() == want.tolist(), (
            where
        )
    elif isinstance(want, dict):
        assert list(got) == list(want), where
        for key in want:
            assert_same(got[key], want[key], f"{where}[{key!r}]")
    elif isinstance(want, (list, tuple)):
        assert len(got) == len(want), where
        for i, (a, b) in enumerate(zip(got, want)):
            assert_same(a, b, f"{where}[{i}]")
    elif hasattr(want, "__match_args__"):  # a result record
        for field in want.__match_args__:
            assert_same(getattr(got, field), getattr(want, field), f"{where}.{field}")
    else:
        assert got == want, where


def network():
    rng = np.random.default_rng(0)
    return Graph.sequential(
        ("in", Input(input_type={"x": (6,)})),
        ("fc", Affine(rng.normal(0, 1, (4, 6)).astype(np.float32), np.zeros(4, np.float32))),
        ("lif", LIF(tau=np.full(4, 2.0), v_threshold=np.ones(4, np.float32))),
        ("out", Output()),
    )


def records():
    graph, x = network(), np.linspace(0, 1, 6, dtype=np.float32)
    batch = np.stack([x, 1 - x])
    return {
        "SimulationResult": _cpu_backend.simulate(graph, {"in": x}, 5, step_by_step=True),
        "BatchSimulationResult": _cpu_backend.simulate_batch(
            graph, {"in": batch}, 5, record=["lif", "v:lif"]
        ),
        "PerStep": PerStep({"in": np.stack([batch] * 5)}),
        "ProfileResult": CPUProfiler().profile(graph, {"in": x}, 5),
        "RunResult": run(graph, x, timesteps=5),
    }


RECORDS = (SimulationResult, BatchSimulationResult, PerStep, ProfileResult, RunResult)


@pytest.mark.parametrize("name", [r.__name__ for r in RECORDS])
def test_result_records_pickle(name):
    record = records()[name]
    assert type(record) is {r.__name__: r for r in RECORDS}[name]
    assert_same(pickle.loads(pickle.dumps(record)), record)


def test_a_graph_of_every_node_kind_pickles():
    rng = np.random.default_rng(1)
    nodes = {}
    for kind in NODE_KINDS:
        required = {
            f.name: 3 if f.type == "int" else rng.normal(size=(2, 3, 1, 1))
            for f in dataclasses.fields(kind)
            if f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING
        }
        nodes[kind.__name__.lower()] = kind(**required, core_id=2, precision="ap_fixed<8,3>")
    names = list(nodes)
    graph = Graph(nodes, list(itertools.pairwise(names)) + [(names[-1], names[0])], {"max_iterations": 4})
    copy = pickle.loads(pickle.dumps(graph))
    assert type(copy) is Graph and copy.edges == graph.edges and copy.cyclic_config == graph.cyclic_config
    assert list(copy.nodes) == names
    for name, node in graph.nodes.items():
        assert_same(copy.nodes[name].to_dict(), node.to_dict(), name)
