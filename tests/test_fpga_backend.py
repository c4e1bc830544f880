"""hlsbridge: the "fpga" backend's registration, validation, capabilities, constraints and
compile."""

import re

import numpy as np
import pytest

from zelka import ir
from zelka.backend.base import BackendBase
from zelka.backend.config import BackendCapabilities, HardwareDescriptor, ValidationResult
from zelka.backend.fpga import cfgsmith, hlsbridge
from zelka.backend.fpga.hlsbridge import BitstreamConfig, HlsBridge
from zelka.backend.fpga.vexal import VEXAL_PARTS
from zelka.backend.registry import get_backend
from zelka.backend.run import run
from zelka.graph import HardwareSpec
from zelka.ir import LIF, Affine, Graph, Input, Output

SUPPORTED = [
    "Affine",
    "AvgPool2d",
    "BatchNorm2d",
    "Conv1d",
    "Conv2d",
    "Flatten",
    "LIF",
    "MaxPool2d",
    "ReLU",
    "Sigmoid",
]
TEMPLATES = [
    "firmware/nnet_utils/if_model.h", "firmware/nnet_utils/lif_model.h",
    "firmware/nnet_utils/lif_subtractive_model.h", "firmware/nnet_utils/complex_lif.h",
]  # fmt: skip


def mlp():
    return Graph.sequential(
        ("in", Input(input_type={"input": (784,)})),
        ("fc1", Affine(np.ones((10, 784)))),
        ("lif1", LIF(np.full(10, 20.0), np.ones(10))),
        ("out", Output()),
    )


class MyInput(Input):
    pass


class MyAffine(Affine):
    pass


def test_loading_the_module_registers_one_backend():
    backend = get_backend("fpga")
    assert backend is hlsbridge._fpga_backend
    assert isinstance(backend, HlsBridge) and isinstance(backend, BackendBase) and HlsBridge.name == "fpga"
    assert not hasattr(backend, "simulate") and not hasattr(backend, "profile")
    assert hlsbridge._SUPPORTED == frozenset(SUPPORTED) and isinstance(hlsbridge._SUPPORTED, frozenset)


def test_run_refuses_the_fpga_backend():
    result = run(mlp(), np.zeros(784, np.float32), timesteps=3, backend="fpga")
    assert result.errors == ["Backend 'fpga' does not support simulation. Use backend='cpu'."]
    assert result.outputs == {} and result.timesteps_run == 0


# fmt: off
@pytest.mark.parametrize("nodes, edges, valid, warnings, unsupported", [
    ({}, [], False, ["Graph has no nodes"], []),
    ({}, [("a", "b")], False, ["Graph has no nodes"], ["a", "b"]),
    ({"in": MyInput(), "fc": Affine(np.ones((2, 2))), "lif": LIF(np.ones(2), np.ones(2)), "out": Output()},
     [("in", "fc"), ("fc", "lif"), ("lif", "out")], True, [], []),
    ({"a": Affine(np.ones((2, 2)))}, [("a", "ghost"), ("ghost", "a"), ("a", "ghost")], False, [],
     ["ghost", "ghost", "ghost"]),
    ({"bn1": ir.BatchNorm1d(4), "s": ir.SpikingAffine(np.ones((2, 2))), "m": MyAffine(np.ones((2, 2))),
      "t": ir.Tanh(2)}, [("x", "bn1")], False,
     ["Node 'bn1': BatchNorm1d not supported by FPGA backend", "Node 's': SpikingAffine not supported by FPGA backend",
      "Node 'm': MyAffine not supported by FPGA backend", "Node 't': Tanh not supported by FPGA backend"],
     ["x", "bn1", "s", "m", "t"]),
])
def test_validate(nodes, edges, valid, warnings, unsupported):
    result = get_backend("fpga").validate(Graph(nodes, edges))
    assert isinstance(result, ValidationResult)
    assert (result.is_valid, result.warnings, result.unsupported_nodes, result.errors) == (
        valid, warnings, unsupported, [])
# fmt: on


@pytest.mark.parametrize("edge, message", [(("a", "b", "c"), "too many values to unpack (expected 2)"),
                                           (("a",), "not enough values to unpack (expected 2, got 1)")])  # fmt: skip
def test_an_edge_that_is_not_a_pair_is_an_error(edge, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        get_backend("fpga").validate(Graph({"a": Affine(np.ones((1, 1)))}, [edge]))


def test_capabilities_and_constraints():
    backend = get_backend("fpga")
    caps = backend.get_capabilities()
    assert caps == BackendCapabilities(
        supported_primitives=SUPPORTED,
        max_graph_size=50000,
        supported_precisions=["fp32", "int16", "int8", "int4", "ap_fixed<16,6>"],
        supports_cyclic=False,
        primitive_constraints={
            "Conv2d": {"max_kernel_size": 64, "max_channels": 2048},
            "Conv1d": {"max_kernel_size": 128, "max_channels": 2048},
            "Affine": {"max_params": 16000000},
            "LIF": {"max_neurons": 262144},
            "MaxPool2d": {"max_kernel_size": 8},
            "AvgPool2d": {"max_kernel_size": 8},
        },
    )
    assert list(caps.primitive_constraints) == ["Conv2d", "Conv1d", "Affine", "LIF", "MaxPool2d", "AvgPool2d"]
    assert backend.get_capabilities() is not caps
    assert backend.get_constraints() == HardwareSpec(
        max_neurons_per_core=4096, max_synapses_per_core=1000000, sram_bytes_per_core=4202496,
        max_fan_in=8192, max_fan_out=8192, num_cores=1,
    )  # fmt: skip


def test_compile_without_a_bitstream_config():
    graph = mlp()
    descriptor = get_backend("fpga").compile(graph, None, "prj", "snn", "xc7z020clg400-1", 7.9)
    assert isinstance(descriptor, HardwareDescriptor)
    metadata = descriptor.metadata
    assert list(metadata) == ["backend", "hls4ml_config", "template_paths", "target_parts"]
    assert metadata["backend"] == "fpga" and metadata["template_paths"] == TEMPLATES
    assert metadata["target_parts"] is VEXAL_PARTS
    expected = cfgsmith.ir_to_hls4ml_config(graph, "prj", "snn", "xc7z020clg400-1", 7)
    assert metadata["hls4ml_config"] == expected and metadata["hls4ml_config"]["ClockPeriod"] == 7
    assert (descriptor.neuron_configs, descriptor.weight_tables, descriptor.execution_schedule) == (
        {},
        {},
        {},
    )
    assert get_backend("fpga").compile(graph).metadata["template_paths"] is not metadata["template_paths"]


@pytest.mark.parametrize("clock_period, clock_lines", [
    (5, ["# Clock: 5.0 ns  (200 MHz)", "create_clock -period 5.0 -name default"]),
    (10, ["# Clock: 10.0 ns  (100 MHz)", "create_clock -period 10.0 -name default"]),
    (np.int16(3), ["# Clock: 3.0 ns  (333 MHz)", "create_clock -period 3.0 -name default"]),
])  # fmt: skip
def test_compile_with_a_bitstream_config(clock_period, clock_lines):
    flags = BitstreamConfig(csim=True, vsynth=0)
    metadata = get_backend("fpga").compile(mlp(), clock_period=clock_period, bitstream_config=flags).metadata
    assert list(metadata) == ["backend", "hls4ml_config", "template_paths", "target_parts", "bitstream"]
    bitstream = metadata["bitstream"]
    assert (
        list(bitstream) == ["enabled", "config", "build_script", "tcl_script"]
        and bitstream["enabled"] is True
    )
    assert bitstream["config"] == {
        "csim": True,
        "synth": True,
        "cosim": False,
        "export": True,
        "vsynth": 0,
        "bitfile": True,
    }
    assert bitstream["build_script"] == hlsbridge.generate_build_script(metadata["hls4ml_config"], flags)
    tcl = bitstream["tcl_script"].splitlines()
    assert "set_part {xczu9eg-ffvb1156-2-i}" in tcl and all(line in tcl for line in clock_lines)
    assert BitstreamConfig() == BitstreamConfig(False, True, False, True, True, True) != flags


# fmt: off
@pytest.mark.parametrize("graph, message", [
    (Graph({}), "Graph validation failed: []. Supported: " + repr(SUPPORTED)),
    (Graph({"bn1": ir.BatchNorm1d(4), "x": ir.Tanh(1)}), "Graph validation failed: ['bn1', 'x']. Supported: " + repr(SUPPORTED)),
])
def test_compile_refuses_invalid_graphs(graph, message):
    with pytest.raises(ValueError) as info:
        get_backend("fpga").compile(graph, bitstream_config=BitstreamConfig())
    assert str(info.value) == message


@pytest.mark.parametrize("arguments, message", [
    ({"output_dir": 5}, "Argument 'output_dir' has incorrect type (expected str, got int)"),
    ({"strategy": None}, "Argument 'strategy' has incorrect type (expected str, got NoneType)"),
    ({"clock_period": "5"}, "Argument 'clock_period' has incorrect type (expected int, got str)"),
    ({"default_reuse_factor": [1]}, "Argument 'default_reuse_factor' has incorrect type (expected int, got list)"),
    ({"bitstream_config": {}}, "Argument 'bitstream_config' has incorrect type (expected BitstreamConfig, got dict)"),
])
def test_compile_argument_types(arguments, message):
    with pytest.raises(TypeError) as info:
        get_backend("fpga").compile(mlp(), **arguments)
    assert str(info.value) == message
# fmt: on


def test_a_zero_clock_period_fails_only_with_a_bitstream_config():
    assert get_backend("fpga").compile(mlp(), clock_period=0).metadata["hls4ml_config"]["ClockPeriod"] == 0
    with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
        get_backend("fpga").compile(mlp(), clock_period=0.5, bitstream_config=BitstreamConfig())


def test_script_names_are_checked_when_scripts_are_made():
    assert (
        get_backend("fpga").compile(mlp(), project_name="my net").metadata["hls4ml_config"]["ProjectName"]
        == "my net"
    )
    with pytest.raises(ValueError, match="Argument 'project_name' must be a Python identifier"):
        get_backend("fpga").compile(mlp(), project_name="my net", bitstream_config=BitstreamConfig())
    with pytest.raises(ValueError, match="'Part' must be a part number"):
        get_backend("fpga").compile(mlp(), part="xc7 ; rm", bitstream_config=BitstreamConfig())
