"""The CPU backend as a class: registration, validation, capabilities, records."""

import pickle

import numpy as np
import pytest

from zelka.backend.base import BackendBase
from zelka.backend.cpu import simulator
from zelka.backend.cpu.simulator import CPUBackend, SimulationResult
from zelka.backend.registry import get_backend
from zelka.graph import HardwareSpec
from zelka.ir import LIF, Graph, Input, Output, ReLU

cpu = simulator._cpu_backend


def graph(nodes="ab", edges=(("a", "b"),)):
    return Graph([(n, ReLU()) for n in nodes], list(edges))


def test_the_module_registers_its_single_instance():
    assert get_backend("cpu") is cpu
    assert isinstance(cpu, CPUBackend) and isinstance(cpu, BackendBase) and CPUBackend.name == "cpu"
    assert CPUBackend.__module__ == "zelka.backend.cpu.simulator"
    assert CPUBackend.__doc__.startswith("CPU software backend for ZELKA IR graphs.")
    assert "- simulate(): Run graph in software for correctness validation" in CPUBackend.__doc__
    assert CPUBackend.__doc__.endswith(
        "The CPU backend supports all IR primitives and both DAG and cyclic graphs."
    )


@pytest.mark.parametrize(
    "nodes, edges, valid, warnings, unsupported",
    [
        ("ab", [("a", "b")], True, [], []),
        ("ab", [], True, ["Graph has no edges"], []),
        ("", [], False, ["Graph has no nodes", "Graph has no edges"], []),
        ("a", [("a", "x")], False, ["Edge references missing node: x"], ["x"]),
        (
            "a",
            [("x", "y")],
            False,
            ["Edge references missing node: x", "Edge references missing node: y"],
            ["x", "y"],
        ),
        (
            "a",
            [("x", "a"), ("a", "x")],
            False,
            ["Edge references missing node: x", "Edge references missing node: x"],
            ["x", "x"],
        ),
        (
            "",
            [("x", "x")],
            False,
            ["Graph has no nodes", "Edge references missing node: x", "Edge references missing node: x"],
            ["x", "x"],
        ),
    ],
)
def test_validate(nodes, edges, valid, warnings, unsupported):
    result = cpu.validate(graph(nodes, edges))
    assert result.is_valid is valid
    assert result.warnings == warnings and result.unsupported_nodes == unsupported
    assert result.errors == []


@pytest.mark.parametrize(
    "edge, error",
    [
        (("a", "b", "c"), r"too many values to unpack \(expected 2\)"),
        (("a",), r"not enough values to unpack \(expected 2, got 1\)"),
    ],
)
def test_validate_rejects_edges_that_are_not_pairs(edge, error):
    with pytest.raises(ValueError, match=error):
        cpu.validate(graph("abc", [edge]))
    with pytest.raises(TypeError, match="cannot unpack non-iterable int object"):
        cpu.validate(graph("a", [5]))


def test_capabilities_and_constraints_are_new_records_each_call():
    caps = cpu.get_capabilities()
    assert len(caps.supported_primitives) == 22
    assert caps.supported_primitives[0] == "Affine" and caps.supported_primitives[-1] == "Upsample"
    assert "Input" not in caps.supported_primitives and caps.supports_cyclic is True
    assert caps.max_graph_size == 1000000
    assert caps.supported_precisions == ["fp32", "fp16", "int16", "int8", "int4"]
    assert caps.primitive_constraints == {
        "Conv2d": {"max_kernel_size": 64, "max_channels": 65536},
        "Affine": {"max_params": 100000000},
        "LIF": {"max_neurons": 1000000},
    }
    caps.supported_primitives.clear()
    assert len(cpu.get_capabilities().supported_primitives) == 22
    constraints = cpu.get_constraints()
    assert constraints == HardwareSpec(
        max_neurons_per_core=10000,
        max_synapses_per_core=10000000,
        sram_bytes_per_core=1000000000,
        max_fan_in=10000,
        max_fan_out=10000,
        num_cores=1,
    )
    assert constraints is not cpu.get_constraints()


def test_simulation_result_is_a_plain_record():
    a, b = SimulationResult(), SimulationResult()
    assert (a.outputs, a.outputs_valid, a.timesteps_run, a.node_states, a.spike_counts, a.errors) == (
        {},
        True,
        0,
        [],
        {},
        [],
    )
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
    doc = SimulationResult.__doc__
    assert doc.startswith("Result of CPU simulation.")
    for line in (
        "outputs_valid: Whether simulation completed without errors.",
        "node_states: Per-node state history (if step_by_step=True).",
        "errors: List of error messages (empty if valid).",
    ):
        assert line in doc


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"input_data": [1.0]}, "Argument 'input_data' has incorrect type (expected dict, got list)"),
        (
            {"input_data": np.zeros(3)},
            "Argument 'input_data' has incorrect type (expected dict, got ndarray)",
        ),
        ({"n_steps": "3"}, "Argument 'n_steps' has incorrect type (expected int, got str)"),
        ({"n_steps": None}, "Argument 'n_steps' has incorrect type (expected int, got NoneType)"),
        ({"n_steps": 2j}, "Argument 'n_steps' has incorrect type (expected int, got complex)"),
    ],
)
def test_simulate_argument_types(kwargs, message):
    with pytest.raises(TypeError) as info:
        cpu.simulate(graph(), **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("n_steps, ran", [(2.9, 2), (-1.5, -1), (np.int64(3), 3), (True, 1), (0, 0)])
def test_simulate_truncates_step_counts(n_steps, ran):
    result = cpu.simulate(graph(), n_steps=n_steps)
    assert result.timesteps_run == ran and type(result.timesteps_run) is int and result.outputs_valid


def test_lif_threshold_must_be_an_array_before_any_step():
    g = Graph(
        {"in": Input(input_type={"x": (1,)}), "lif1": LIF(tau=2.0, v_threshold=1.0), "out": Output()},
        [("in", "lif1"), ("lif1", "out")],
    )
    with pytest.raises(TypeError) as info:
        cpu.simulate(g, n_steps=0)
    assert str(info.value) == "LIF node 'lif1': v_threshold must be np.ndarray, got float"
    g.nodes["lif1"].v_threshold = [1.0]
    with pytest.raises(TypeError, match="got list$"):
        cpu.simulate(g)
    g.nodes["lif1"].v_threshold = np.array(1.0)
    with pytest.raises(IndexError, match="'lif1': v_threshold must have at least one dimension"):
        cpu.simulate(g)


def test_an_input_without_a_declared_shape_is_reported():
    g = Graph({"in": Input(input_type={}), "out": Output()}, [("in", "out")])
    with pytest.raises(ValueError, match="Input node 'in' declares no input shape"):
        cpu.simulate(g)
