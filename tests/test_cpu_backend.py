"""The CPU backend as a class: registration, validation, capabilities, records."""

import pickle
import re

import numpy as np
import pytest

from zelka.backend.base import BackendBase
from zelka.backend.cpu import graph_utils, simulator
from zelka.backend.cpu.simulator import CPUBackend, SimulationResult
from zelka.backend.registry import get_backend
from zelka.backend.run import RunResult
from zelka.graph import HardwareSpec
from zelka.ir import LIF, Graph, Input, ReLU

cpu = simulator._cpu_backend
MISSING = "Edge references missing node: "


def graph(nodes="ab", edges=(("a", "b"),)):
    return Graph([(n, ReLU()) for n in nodes], list(edges))


def test_the_module_registers_its_single_instance():
    assert get_backend("cpu") is cpu
    assert isinstance(cpu, CPUBackend) and isinstance(cpu, BackendBase) and CPUBackend.name == "cpu"
    assert CPUBackend.__module__ == "zelka.backend.cpu.simulator"
    doc = CPUBackend.__doc__
    assert doc.startswith("CPU software backend for ZELKA IR graphs.")
    assert "- simulate(): Run graph in software for correctness validation" in doc
    assert doc.endswith("The CPU backend supports all IR primitives and both DAG and cyclic graphs.")
    with pytest.raises(KeyError):
        get_backend("nosuch")


# fmt: off
@pytest.mark.parametrize("nodes, edges, valid, warnings, unsupported", [
    ("ab", [("a", "b")], True, [], []),
    ("ab", [], True, ["Graph has no edges"], []),
    ("", [], False, ["Graph has no nodes", "Graph has no edges"], []),
    ("a", [("a", "x")], False, [MISSING + "x"], ["x"]),
    ("a", [("x", "y")], False, [MISSING + "x", MISSING + "y"], ["x", "y"]),
    ("a", [("x", "a"), ("a", "x")], False, [MISSING + "x", MISSING + "x"], ["x", "x"]),
    ("", [("x", "x")], False, ["Graph has no nodes", MISSING + "x", MISSING + "x"], ["x", "x"]),
])
def test_validate(nodes, edges, valid, warnings, unsupported):
    result = cpu.validate(graph(nodes, edges))
    assert result.is_valid is valid and result.errors == []
    assert result.warnings == warnings and result.unsupported_nodes == unsupported


@pytest.mark.parametrize("edge, warning", [
    (("a", "b", "c"), "Edge ('a', 'b', 'c') must be a (src, dst) pair"),
    (["a"], "Edge ['a'] must be a (src, dst) pair"),
    (5, "Edge 5 must be a (src, dst) pair"),
    ("ab", None),  # a str of two characters is a pair of one-character names
])
def test_edges_that_are_not_pairs_make_the_graph_invalid(edge, warning):
    result = cpu.validate(graph("abc", [("x", "a"), edge, ("a", "y")]))
    expected = [MISSING + "x"] + ([warning] if warning else []) + [MISSING + "y"]
    assert result.is_valid is False and result.warnings == expected
    assert result.unsupported_nodes == ["x", "y"] and result.errors == []
    if warning:  # and the operations that need the graph's order name the edge
        for call in (lambda g: cpu.simulate(g, {}, 1), lambda g: cpu.simulate_batch(g, {}, 1)):
            with pytest.raises(ValueError, match=f"^{re.escape(warning)}$"):
                call(graph("abc", [edge]))
# fmt: on


def test_capabilities_and_constraints_are_new_records_each_call():
    caps = cpu.get_capabilities()
    assert len(caps.supported_primitives) == 22
    assert caps.supported_primitives[0] == "Affine" and caps.supported_primitives[-1] == "Upsample"
    assert "Input" not in caps.supported_primitives and caps.supports_cyclic is True
    assert caps.max_graph_size == 1000000
    assert caps.supported_precisions == ["fp32", "fp16", "int16", "int8", "int4"]
    conv = {"max_kernel_size": 64, "max_channels": 65536}
    limits = {"Conv2d": conv, "Affine": {"max_params": 100000000}, "LIF": {"max_neurons": 1000000}}
    assert caps.primitive_constraints == limits
    caps.supported_primitives.clear()
    assert len(cpu.get_capabilities().supported_primitives) == 22
    constraints = cpu.get_constraints()
    # fmt: off
    assert constraints == HardwareSpec(max_neurons_per_core=10000, max_synapses_per_core=10000000,
                                       sram_bytes_per_core=1000000000, max_fan_in=10000, max_fan_out=10000, num_cores=1)
    # fmt: on
    assert constraints is not cpu.get_constraints()


def test_simulation_result_is_a_plain_record():
    a, b = SimulationResult(), SimulationResult()
    fields = ["outputs", "outputs_valid", "timesteps_run", "node_states", "spike_counts", "errors"]
    assert [getattr(a, f) for f in fields] == [{}, True, 0, [], {}, []] and a.outputs_valid is True
    assert a.errors is not b.errors and a.outputs is not b.outputs
    assert a == b and a != SimulationResult(timesteps_run=3)
    c = SimulationResult({"o": 1}, False, 2, errors=["x"])
    assert (c.outputs, c.outputs_valid, c.timesteps_run, c.errors) == ({"o": 1}, False, 2, ["x"])
    assert repr(c).startswith("SimulationResult(outputs={'o': 1}, outputs_valid=False, timesteps_run=2,")
    assert pickle.loads(pickle.dumps(c)) == c
    with pytest.raises(TypeError, match="unexpected keyword argument 'nope'"):
        SimulationResult(nope=1)
    with pytest.raises(TypeError, match="multiple values for argument 'outputs'"):
        SimulationResult({}, outputs={})
    with pytest.raises(TypeError):
        hash(a)
    assert SimulationResult.__doc__.startswith("Result of CPU simulation.")
    for line in (
        "outputs_valid: Whether simulation completed without errors.",
        "node_states: Per-node state history (if step_by_step=True).",
        "errors: List of error messages (empty if valid).",
    ):
        assert line in SimulationResult.__doc__


# fmt: off
@pytest.mark.parametrize("argument, value, expected", [
    ("input_data", [1.0], "dict"), ("input_data", np.zeros(3), "dict"),
    ("n_steps", "3", "int"), ("n_steps", None, "int"), ("n_steps", 2j, "int"),
])
def test_simulate_argument_types(argument, value, expected):
    with pytest.raises(TypeError) as info:
        cpu.simulate(graph(), **{argument: value})
    got = type(value).__name__
    assert str(info.value) == f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"
# fmt: on


@pytest.mark.parametrize("n_steps, ran", [(2.9, 2), (-1.5, -1), (np.int64(3), 3), (True, 1), (0, 0)])
def test_simulate_truncates_step_counts(n_steps, ran):
    result = cpu.simulate(graph(), n_steps=n_steps)
    assert result.timesteps_run == ran and type(result.timesteps_run) is int and result.outputs_valid


@pytest.mark.parametrize("record", [SimulationResult, RunResult])
def test_records_made_without_init_refuse_use(record):
    # __new__ alone gives an object with no fields: every use says so instead of reading garbage.
    bare = record.__new__(record)
    for use in (repr, lambda r: r.__eq__(r), lambda r: r._astuple(), lambda r: r.errors, pickle.dumps):
        with pytest.raises(TypeError, match=f"{record.__name__} object is not initialised"):
            use(bare)


def test_record_keywords_and_values_without_utf8_form():
    with pytest.raises(TypeError, match=r"unexpected keyword argument '\\ud800'"):
        SimulationResult(**{"\ud800": 1})
    assert "outputs={'\\ud800': 1}" in repr(SimulationResult({"\ud800": 1}))


def test_texts_without_utf8_form_reach_the_messages():
    # A lone surrogate in a node name or a precision: the messages name it, nothing fails on
    # converting it to UTF-8.
    g = Graph.sequential(("in", Input()), ("\ud800", LIF(2.0, 1.0)))
    with pytest.raises(TypeError, match="LIF node '\ud800': v_threshold must be np.ndarray, got float"):
        cpu.simulate(g, {"in": np.ones(1)})
    with pytest.raises(ValueError, match=r"Unknown precision '\\ud800'"):
        graph_utils.saturate(np.ones(2), "\ud800")
