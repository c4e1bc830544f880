"""The CPU backend's compile (a per-core hardware descriptor) and its profile operation."""

import dataclasses

import numpy as np
import pytest

from tests.agreement import assert_same_profile
from tests.oracle import profiler as reference
from zelka import ir
from zelka.backend.config import CompileConfig, HardwareDescriptor, NeuronConfig
from zelka.backend.cpu import profiler
from zelka.backend.cpu.simulator import _cpu_backend as cpu
from zelka.ir import LIF, Affine, Graph, Input, Output, ReLU


def network():
    w, b = np.ones((4, 3), np.float32), np.zeros(4, np.float32)
    nodes = {
        "lif1": LIF(np.full(4, 2.0), np.ones(4), v_leak=np.float64(0.0), core_id=1, precision="int8"),
        "in0": Input(input_type={"x": (3,)}),
        "fc1": Affine(w, b, precision=""),
        "relu": ReLU(core_id=None),
        "out": Output(),
    }
    edges = [("in0", "fc1"), ("fc1", "lif1"), ("lif1", "relu"), ("relu", "out")]
    return Graph(nodes, edges), w, b


def test_the_descriptor():
    graph, w, b = network()
    d = cpu.compile(graph)
    assert type(d) is HardwareDescriptor
    assert list(d.metadata.items()) == [
        ("backend", "cpu"), ("execution_mode", "dag"), ("optimize_for", "latency"), ("num_nodes", 5), ("num_edges", 4)
    ]  # fmt: skip
    assert list(d.neuron_configs) == [1, 0]
    lif, fc, relu = d.neuron_configs[1][0], *d.neuron_configs[0]
    assert type(lif) is NeuronConfig
    assert (lif.node_name, lif.node_type, lif.core_id, lif.precision) == ("lif1", "LIF", 1, "int8")
    assert (fc.node_name, fc.precision, relu.node_name, relu.core_id) == ("fc1", "fp32", "relu", 0)
    assert "type" not in fc.parameters and fc.parameters["weight"] is w
    # the arrays themselves, not copies; 0-d and non-array fields are left out
    assert list(d.weight_tables) == [1, 0]
    assert list(d.weight_tables[1]) == ["lif1.tau", "lif1.v_threshold"]
    assert d.weight_tables[0] == {"fc1.weight": w, "fc1.bias": b} and d.weight_tables[0]["fc1.weight"] is w
    # the schedule follows the execution order, not the order of graph.nodes
    assert d.execution_schedule == {0: [["fc1", "relu"]], 1: [["lif1"]]}


def test_execution_modes_and_the_callers_config():
    graph, _, _ = network()
    config = CompileConfig(target_precision="int16")
    snapshot = dataclasses.asdict(config)
    d = cpu.compile(graph, config)
    assert d.metadata["execution_mode"] == "dag" and d.neuron_configs[0][0].precision == "int16"
    assert dataclasses.asdict(config) == snapshot and config.execution_mode is None
    graph.connect("lif1", "fc1")
    assert cpu.compile(graph).metadata["execution_mode"] == "cyclic"
    fixed = CompileConfig(execution_mode="cyclic", optimize_for="energy")
    d = cpu.compile(network()[0], fixed)
    assert (d.metadata["execution_mode"], d.metadata["optimize_for"]) == ("cyclic", "energy")
    assert cpu.compile(network()[0], 0).metadata["execution_mode"] == "dag"  # a false config: defaults


def test_nodes_without_declared_fields_and_without_type():
    class Plain:  # no declared fields: only array weight and bias count, of any rank
        def __init__(self):
            self.weight = np.array(2.0)
            self.bias = [1.0]
            self.core_id = 2

        def to_dict(self):
            return {"weight": self.weight}

    plain = Plain()
    graph = Graph({"p": plain, "in": Input(), "out": Output()}, [("in", "p"), ("p", "out")])
    d = cpu.compile(graph)
    assert list(d.weight_tables[2]) == ["p.weight"] and d.weight_tables[2]["p.weight"] is plain.weight
    assert list(d.neuron_configs[2][0].parameters) == ["weight"]
    only_io = cpu.compile(Graph({"in": Input(), "out": Output()}, [("in", "out")]))
    assert only_io.neuron_configs == only_io.weight_tables == only_io.execution_schedule == {}
    assert only_io.metadata["num_nodes"] == 2


def test_compile_raises_what_it_cannot_read():
    with pytest.raises(AttributeError):
        cpu.compile(Graph({"x": object()}, []))
    with pytest.raises(ValueError, match="too many values to unpack"):
        import zelka.backend.cpu.graph_utils as gu

        original = gu.build_execution_context
        try:
            gu.build_execution_context = lambda graph: (1, 2, 3, 4)
            cpu.compile(network()[0])
        finally:
            gu.build_execution_context = original


def test_profile_defaults_and_coefficients():
    graph, _, _ = network()
    x = {"in0": np.ones(3, np.float32)}
    got = cpu.profile(graph, x)
    assert_same_profile(got, reference.CPUProfiler().profile(graph, x, 1))
    got = cpu.profile(graph, x, 4, energy_per_mac_pj=2)
    assert_same_profile(got, reference.CPUProfiler(energy_per_mac_pj=2.0).profile(graph, x, 4))
    assert got.mac_energy_uj == pytest.approx(12 * 4 * 2.0 / 1e6)
    with pytest.raises(KeyError, match="Unknown energy preset 'nope'"):
        cpu.profile(graph, energy_preset="nope")


def test_profile_binds_the_profiler_when_called(monkeypatch):
    seen = {}

    class Recording:
        def __init__(self, **kwargs):
            seen.update(kwargs)

        def profile(self, *args):
            seen["args"] = args
            return "profiled"

    monkeypatch.setattr(profiler, "CPUProfiler", Recording)
    assert cpu.profile("graph", None, 3.7, "zcu102", energy_per_spike_pj=1) == "profiled"
    assert seen == {"energy_per_mac_pj": None, "energy_per_spike_pj": 1.0, "energy_per_sram_read_pj": None,
                    "energy_per_sram_write_pj": None, "energy_preset": "zcu102", "args": ("graph", None, 3)}  # fmt: skip


# fmt: off
@pytest.mark.parametrize("kwargs, message", [
    ({"input_data": 3}, "Argument 'input_data' has incorrect type (expected dict, got int)"),
    ({"n_steps": "1"}, "Argument 'n_steps' has incorrect type (expected int, got str)"),
    ({"energy_preset": 1}, "Argument 'energy_preset' has incorrect type (expected str, got int)"),
    ({"energy_per_sram_read_pj": "5"}, "Argument 'energy_per_sram_read_pj' has incorrect type (expected float, got str)"),
])
def test_profile_argument_types(kwargs, message):
    with pytest.raises(TypeError) as info:
        cpu.profile(network()[0], **kwargs)
    assert str(info.value) == message
# fmt: on


def test_the_core_id_must_be_a_number_when_profiling():
    graph = Graph.sequential(("in", Input()), ("r", ir.ReLU(core_id="gpu")), ("out", Output()))
    with pytest.raises(TypeError, match="^Expected int, got str$"):
        cpu.profile(graph, {"in": np.ones(2)})
    assert cpu.compile(graph).execution_schedule == {"gpu": [["r"]]}  # compile copies core ids as given
