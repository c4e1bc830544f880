"""cfgsmith: graph order and shapes, hls4ml layer descriptions, the hls4ml configuration map
and the parameters.h header text."""

import itertools
import json
import math
from types import SimpleNamespace

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zelka import ir
from zelka.backend.cpu import graph_utils
from zelka.backend.fpga import cfgsmith as cs
from zelka.ir import LIF, Affine, Conv2d, Flatten, Graph, Input, Output, ReLU


def assert_same_map(actual, expected):
    """Equal values, equal key order at every level, and the same plain value types."""
    assert json.dumps(actual, indent=1) == json.dumps(expected, indent=1)
    assert type(actual) is type(expected), (actual, expected)
    if isinstance(actual, dict):
        actual, expected = list(actual.values()), list(expected.values())
    for a, e in zip(actual, expected) if isinstance(actual, list) else ():
        assert_same_map(a, e)


def network(*, tanh=False):
    """A chain of every supported kind; the nodes are declared in reverse of execution order."""
    conv1 = Conv2d(np.ones((8, 3, 3, 3)), stride=1, padding=(1, 1), weight_t="ap_fixed<8,3>", reuse_factor=4)
    conv2 = Conv2d(np.ones((16, 8, 5, 5)), stride=[2, 1], padding=2, bias_t="B", accum_t="A", reuse_factor=0)
    chain = [
        ("in", Input(input_type={"input": (3, 32, 32)})),
        ("conv1", conv1),
        ("relu1", ReLU(8192)),
        ("pool1", ir.MaxPool2d((2, 2), padding=(0, 0), output_type={"output": (8, 16, 16)})),
        ("conv2", conv2),
        ("bn", ir.BatchNorm2d(16, weight_t="ap_fixed<10,2>")),
        ("lrelu", ReLU(16, negative_slope=0.125)),
        ("pool2", ir.AvgPool2d((3, 3), stride=(2, 2), padding=(1, 0), output_type={"output": (16, 5, 5)})),
        ("flat", Flatten()),
        ("fc", Affine(np.arange(4000).reshape(10, 400) % 7, reuse_factor=2)),
        ("lif", LIF(np.full(10, 20.0), np.full(10, 0.5), result_t="ap_fixed<18,8>", reuse_factor=8)),
        ("sfc", ir.SpikingAffine(np.eye(4, 10))),
        ("bn1", ir.BatchNorm1d(4)),
        ("sig", ir.Sigmoid(4)),
        *([("t1", ir.Tanh(4))] if tanh else []),
        ("c1d", ir.Conv1d(np.ones((2, 1, 3)), stride=2, padding=1)),
        ("out", Output()),
    ]
    names = [name for name, _ in chain]
    return Graph(chain[::-1], list(itertools.pairwise(names)))


def mlp(**fc_settings):
    return Graph.sequential(
        ("in", Input(input_type={"input": (784,)})),
        ("fc1", Affine(np.ones((10, 784)), **fc_settings)),
        ("lif1", LIF(np.full(10, 20.0), np.ones(10))),
        ("out", Output()),
    )


KEYS = {
    "Conv2D": "n_filt filt_height filt_width stride_height stride_width padding_height padding_width n_in",
    "Conv1D": "n_filt filt_width stride_width padding_width n_in",
    "Pooling2D": "pool_height pool_width stride_height stride_width padding_height padding_width pool_layer",
    "Dense": "n_in n_out",
    "BatchNormalization": "n_in n_out",
    "Activation": "n_in n_out activation",
    "H_LIF": "n_in n_out threshold leak",
    "Reshape": "target_shape",
}


def layer(class_name, name, *values, **tail):
    """The expected description: the kind's keys in order, then the tail keys in the order given."""
    keys = dict(zip(KEYS[class_name].split(), values, strict=True))
    return {"class_name": class_name, "name": name, **keys, **tail}


def test_network_configuration_with_every_argument_given_by_position():
    config = cs.ir_to_hls4ml_config(
        network(), "prj", "snn", "xcu250", 7.9, "io_parallel", "ap_fixed<18,8>", 2.2, "R"
    )
    # fmt: off
    assert_same_map(config, {
        "OutputDir": "prj", "ProjectName": "snn", "Part": "xcu250", "ClockPeriod": 7, "IOType": "io_parallel",
        "Backend": "Vivado", "PytorchModel": "__pytorch_model__", "InputShape": [3, 32, 32],
        "HLSConfig": {
            "Model": {"Precision": "ap_fixed<18,8>", "ReuseFactor": 2, "Strategy": "R"},
            "LayerName": {
                "conv1": {"Precision": {"weight": "ap_fixed<8,3>"}, "ReuseFactor": 4},
                "conv2": {"Precision": {"bias": "B", "accum": "A"}, "ReuseFactor": 0},
                "bn": {"Precision": {"weight": "ap_fixed<10,2>"}},
                "fc": {"ReuseFactor": 2},
                "lif": {"Precision": {"result": "ap_fixed<18,8>"}, "ReuseFactor": 8},
            },
        },
        "Layers": [
            layer("Conv2D", "conv1", 8, 3, 3, 1, 1, 1, 1, 3, weight_t="ap_fixed<8,3>", reuse_factor=4),
            layer("Activation", "relu1", 8192, 8192, "relu"),
            layer("Pooling2D", "pool1", 2, 2, 2, 2, 0, 0, "Max"),
            layer("Conv2D", "conv2", 16, 5, 5, 2, 1, 2, 2, 8, bias_t="B", accum_t="A", reuse_factor=0),
            layer("BatchNormalization", "bn", 16, 16, weight_t="ap_fixed<10,2>"),
            layer("Activation", "lrelu", 16, 16, "leaky_relu", leaky_slope=0.125),
            layer("Pooling2D", "pool2", 3, 3, 2, 2, 1, 0, "Avg"),
            layer("Reshape", "flat", [400]),
            layer("Dense", "fc", 400, 10, reuse_factor=2),
            layer("H_LIF", "lif", 10, 10, 0.5, 0.95, result_t="ap_fixed<18,8>"),
            layer("Dense", "sfc", 10, 4),
            layer("BatchNormalization", "bn1", 4, 4),
            layer("Activation", "sig", 4, 4, "sigmoid"),
            layer("Conv1D", "c1d", 2, 3, 2, 1, 1),
        ],
    })
    # fmt: on


# fmt: off
@pytest.mark.parametrize("fc_settings, layer_name, dense_tail", [
    ({}, None, {}),
    ({"reuse_factor": 4}, {"fc1": {"ReuseFactor": 4}}, {"reuse_factor": 4}),
    ({"reuse_factor": np.float64(3.9), "accum_t": "A", "weight_t": "W"},
     {"fc1": {"Precision": {"weight": "W", "accum": "A"}, "ReuseFactor": 3}},
     {"weight_t": "W", "accum_t": "A", "reuse_factor": 3}),
])
def test_default_configuration_and_per_layer_overrides(fc_settings, layer_name, dense_tail):
    hls = {"Model": {"Precision": "ap_fixed<16,6>", "ReuseFactor": 1, "Strategy": "Latency"}}
    hls.update({"LayerName": layer_name} if layer_name else {})
    assert_same_map(cs.ir_to_hls4ml_config(mlp(**fc_settings)), {
        "OutputDir": "hls4ml_project", "ProjectName": "myproject", "Part": "xczu9eg-ffvb1156-2-i",
        "ClockPeriod": 5, "IOType": "io_stream", "Backend": "Vivado", "PytorchModel": "__pytorch_model__",
        "InputShape": [784], "HLSConfig": hls,
        "Layers": [layer("Dense", "fc1", 784, 10, **dense_tail), layer("H_LIF", "lif1", 10, 10, 1.0, 0.95)],
    })


@pytest.mark.parametrize("inputs, expected", [
    ([], []),
    ([Input()], []),
    ([Input(input_type={"x": (5,)})], []),
    ([Input(input_type={"input": ()})], []),
    ([Input(input_type={"input": np.array([1, 28, 28])})], [1, 28, 28]),
    ([Input(input_type={"input": (4,)}), Input(input_type={"input": np.array([2, 3], np.int16)}), Input()], [2, 3]),
])
def test_input_shape_comes_from_the_last_input_that_declares_one(inputs, expected):
    g = Graph([(f"in{i}", node) for i, node in enumerate(inputs)] + [("out", Output())])
    shape = cs.ir_to_hls4ml_config(g)["InputShape"]
    assert shape == expected and all(type(d) is int for d in shape)
# fmt: on


class DepthConv(Conv2d):
    pass


class Gate(ir.Node):
    pass


SEPARABLE = ir.SepConv2d(np.ones((1, 1, 3, 3)), np.ones((2, 1, 1, 1)))


@pytest.mark.parametrize("node", [ir.Tanh(), ir.Softmax(), ir.Upsample(), SEPARABLE, Gate()])
def test_an_unsupported_kind_stops_the_configuration(node):
    g = Graph.sequential(("in", Input()), ("fc", Affine(np.ones((2, 2)))), ("x", node), ("out", Output()))
    with pytest.raises(ValueError) as info:
        cs.ir_to_hls4ml_config(g)
    assert str(info.value) == f"Unsupported node type for hls4ml: {type(node).__name__}"


def test_flatten_takes_the_shape_of_its_first_predecessor():
    a, b = ReLU(output_type={"output": (4, 5)}), ReLU(output_type={"output": np.array([2, 3])})
    edges = [("b", "f"), ("a", "f"), ("ghost", "g"), ("a", "g"), ("a", "nowhere")]
    layers = cs.ir_to_hls4ml_config(Graph({"a": a, "b": b, "f": Flatten(), "g": Flatten()}, edges))["Layers"]
    assert [layer["target_shape"] for layer in layers[2:]] == [[6], [1]]


def test_every_computing_node_reads_its_predecessor_shape():
    g = Graph.sequential(("r", ReLU(3, output_type={"output": ("x",)})), ("fc", Affine(np.ones((2, 3)))))
    with pytest.raises(ValueError, match="invalid literal for int"):
        cs.ir_to_hls4ml_config(g)


ORDER_USERS = (cs._topological_order, cs.ir_to_hls4ml_config, cs.generate_parameters_h)


# fmt: off
@pytest.mark.parametrize("context, edge, error, message", [
    ((["a"], {}), None, ValueError, "^need more than 2 values to unpack$"),
    ((["a"],), None, ValueError, "^need more than 1 value to unpack$"),
    ((["a"], {}, True, None), None, ValueError, r"^too many values to unpack \(expected 3\)$"),
    ((("a",), {}, True), None, TypeError, "^Expected list, got tuple$"),
    ((["a"], {}, True), ("a", "b", "c"), ValueError, r"^too many values to unpack \(expected 2\)$"),
    ((["a"], {}, True), ("a",), ValueError, "^need more than 1 value to unpack$"),
])
def test_the_execution_context_and_the_edges_must_unpack(monkeypatch, context, edge, error, message):
    # a malformed context stops every user of the order; a malformed edge stops the configuration
    monkeypatch.setattr(graph_utils, "build_execution_context", lambda graph: context)
    for call in [cs.ir_to_hls4ml_config] if edge else ORDER_USERS:
        with pytest.raises(error, match=message):
            call(Graph({"a": ReLU(2)}, [edge] if edge else []))
# fmt: on


def test_the_execution_order_is_looked_up_at_each_call_and_used_as_given(monkeypatch):
    g = Graph({"a": ReLU(2), "b": ir.Sigmoid(3)}, [("a", "b")])
    order = ["b", "a", "b"]
    monkeypatch.setattr(graph_utils, "build_execution_context", lambda graph: (order, None, False))
    assert cs._topological_order(g) is order
    assert [layer["name"] for layer in cs.ir_to_hls4ml_config(g)["Layers"]] == ["b", "a", "b"]
    monkeypatch.setattr(graph_utils, "build_execution_context", lambda graph: (None, None, True))
    assert cs._topological_order(g) is None


def declaring(shape):
    return ReLU(output_type={"output": shape})


# fmt: off
@pytest.mark.parametrize("pred, expected", [
    (None, None), (SimpleNamespace(), None), (ReLU(output_type={}), None), (ReLU(output_type={"other": (3,)}), None),
    (declaring(()), None), (declaring(np.array([1, 28, 28])), (1, 28, 28)),
    (declaring(np.array([], dtype=np.int64)), ()), (declaring([np.int64(4), 2.0]), (4, 2)),
])
def test_node_input_shape(pred, expected):
    shape = cs._node_input_shape(Flatten(), "f", "p", Graph({} if pred is None else {"p": pred}))
    assert shape == expected
    assert shape is None or (type(shape) is tuple and all(type(d) is int for d in shape))


@pytest.mark.parametrize("output_type, prev_shape, expected", [
    ({"output": (2, 3, 4)}, (7,), 24), ({"output": np.array([[2, 3], [4, 1]])}, None, 24),
    ({"output": np.array([], dtype=np.int64)}, None, 1), ({"output": ()}, (5,), 0), ({}, (5,), 5),
    (None, (2**31, 2**31), 2**62), (None, None, 0), (None, (), 0),
])
def test_node_output_size(output_type, prev_shape, expected):
    size = cs._node_output_size(ReLU(output_type=output_type), "r", prev_shape)
    assert size == expected and type(size) is int
# fmt: on


W4 = np.ones((16, 3, 3, 3))


def config_layer(node, name):
    return cs.ir_to_hls4ml_config(Graph({name: node}))["Layers"][0]


# fmt: off
@pytest.mark.parametrize("extract, node, expected", [
    (cs._layer_from_conv2d, Conv2d(W4, stride=(2, 1), padding=[np.int64(0), 2], result_t="r", reuse_factor=None),
     layer("Conv2D", "n", 16, 3, 3, 2, 1, 0, 2, 3, result_t="r")),
    (cs._layer_from_conv1d, ir.Conv1d(np.ones((4, 2, 5)), stride=3.0, padding=2, accum_t="a", reuse_factor=np.int32(2)),
     layer("Conv1D", "n", 4, 5, 3, 2, 2, accum_t="a", reuse_factor=2)),
    (cs._layer_from_affine, ir.SpikingAffine(np.ones((10, 784)), bias_t="b", reuse_factor=0),
     layer("Dense", "n", 784, 10, bias_t="b", reuse_factor=0)),
    (cs._layer_from_lif, LIF(np.array([20.0, 20.0]), np.array([1.0, 1.0]), weight_t="w", reuse_factor=5),
     layer("H_LIF", "n", 2, 2, 1.0, 0.95, weight_t="w")),
    (cs._layer_from_lif, LIF(np.array(10.0), np.array([[0.25, 1.0]], np.float32)), layer("H_LIF", "n", 1, 1, 0.25, 0.9)),
    (cs._layer_from_lif, LIF(np.array([]), np.array([])), layer("H_LIF", "n", 0, 0, 1.0, 0.0)),
    (cs._layer_from_maxpool2d, ir.MaxPool2d((2, 2), None, (0, 0)), layer("Pooling2D", "n", 2, 2, 2, 2, 0, 0, "Max")),
    (cs._layer_from_avgpool2d, ir.AvgPool2d([3, 3], [1, 1], (1, 1), reuse_factor=2, weight_t="w"),
     layer("Pooling2D", "n", 3, 3, 1, 1, 1, 1, "Avg", reuse_factor=2)),
    (cs._layer_from_batchnorm2d, ir.BatchNorm1d(np.int64(6)), layer("BatchNormalization", "n", 6, 6)),
    (cs._layer_from_relu, ReLU(3, 0.01), layer("Activation", "n", 3, 3, "leaky_relu", leaky_slope=0.01)),
    (cs._layer_from_relu, ReLU(3, None, reuse_factor=2), layer("Activation", "n", 3, 3, "relu")),
    (cs._layer_from_sigmoid, ir.Sigmoid(np.int16(7), weight_t="w"), layer("Activation", "n", 7, 7, "sigmoid")),
    (lambda node, name: cs._layer_from_flatten(node, name, (8, 4, 4)), Flatten(), layer("Reshape", "n", [128])),
    (lambda node, name: cs._layer_from_flatten(node, name, (np.int64(3), 2.0)), Flatten(), layer("Reshape", "n", [6])),
    (lambda node, name: cs._layer_from_flatten(node, name, None), Flatten(), layer("Reshape", "n", [1])),
    (lambda node, name: cs._layer_from_flatten(node, name, (5, 0)), Flatten(), layer("Reshape", "n", [1])),
    (config_layer, DepthConv(np.ones((2, 1, 3, 3))), layer("Conv2D", "n", 2, 3, 3, 1, 1, 0, 0, 1)),
])
def test_layer_extractors(extract, node, expected):
    assert_same_map(extract(node, "n"), expected)


@pytest.mark.parametrize("extract, node, error, message", [
    (cs._layer_from_conv2d, Conv2d(np.ones((1,) * 5)), ValueError, r"^too many values to unpack \(expected 4\)$"),
    (cs._layer_from_conv2d, Conv2d(np.ones((2, 2))), ValueError, "^need more than 2 values to unpack$"),
    (cs._layer_from_conv2d, Conv2d(W4, stride=(1,)), ValueError, "^need more than 1 value to unpack$"),
    (cs._layer_from_conv2d, Conv2d(W4, stride=()), ValueError, "^need more than 0 values to unpack$"),
    (cs._layer_from_conv2d, Conv2d(W4, padding=[1, 1, 1]), ValueError, r"^too many values to unpack \(expected 2\)$"),
    (cs._layer_from_conv1d, ir.Conv1d(np.ones((2, 2))), ValueError, "^need more than 2 values to unpack$"),
    (cs._layer_from_conv1d, ir.Conv1d(np.ones((2, 2, 2)), stride=(1, 1)), TypeError, "int()"),
    (cs._layer_from_affine, Affine(np.ones(3)), ValueError, "^need more than 1 value to unpack$"),
    (cs._layer_from_maxpool2d, ir.MaxPool2d((2,)), ValueError, "^need more than 1 value to unpack$"),
    (cs._layer_from_avgpool2d, ir.AvgPool2d(stride=(1, 2, 3)), ValueError, r"^too many values to unpack \(expected 2\)$"),
    (cs._layer_from_lif, LIF(np.array([0.0, 5.0]), np.ones(2)), ZeroDivisionError, "^float division$"),
    (cs._layer_from_lif, LIF(np.array(-0.0), np.ones(1)), ZeroDivisionError, "^float division$"),
    (cs._layer_from_affine, SimpleNamespace(weight=np.ones((2, 2))), AttributeError, "reuse_factor"),
    (cs._layer_from_batchnorm2d, ir.BatchNorm2d("four"), ValueError, "invalid literal"),
    (config_layer, LIF(np.zeros(3), np.ones(3)), ZeroDivisionError, "^float division$"),
    (config_layer, Input(input_type=None), TypeError, "^argument of type 'NoneType' is not iterable$"),
])
def test_extractor_failures(extract, node, error, message):
    with pytest.raises(error, match=message):
        extract(node, "n")
# fmt: on


ALL_TYPES = {"weight": "w", "bias": "b", "accum": "a", "result": "r"}


# fmt: off
@pytest.mark.parametrize("node, precision, per_layer", [
    (object(), {}, {}),
    (ReLU(), {}, {}),
    (LIF(np.ones(1), np.ones(1), result_t="r"), {"result": "r"}, {"Precision": {"result": "r"}}),
    (Affine(None, result_t="r", accum_t="a", bias_t="b", weight_t="w", reuse_factor=0), ALL_TYPES,
     {"Precision": ALL_TYPES, "ReuseFactor": 0}),
    (SimpleNamespace(bias_t="", reuse_factor=2.9), {"bias": ""}, {"Precision": {"bias": ""}, "ReuseFactor": 2}),
])
def test_precision_map_and_per_layer_map(node, precision, per_layer):
    assert_same_map(cs._extract_precision_dict(node), precision)
    assert_same_map(cs._layer_config(node, "n", {"ignored": 1}), per_layer)
# fmt: on


def test_precision_values_are_copied_as_given():
    marker = object()
    assert cs._extract_precision_dict(ReLU(weight_t=marker))["weight"] is marker
    assert cs._layer_from_conv2d(Conv2d(W4, accum_t=marker), "c")["accum_t"] is marker


G = Graph({"a": ReLU(2)})
# fmt: off
# per function: arguments that are accepted, then (argument, value of a wrong type, expected type)
ARGUMENTS = {
    cs.ir_to_hls4ml_config: ({"graph": G}, [
        ("output_dir", None, "str"), ("project_name", 1, "str"), ("part", b"x", "str"), ("clock_period", "5", "int"),
        ("io_type", 1.0, "str"), ("default_precision", [], "str"), ("default_reuse_factor", None, "int"),
        ("default_reuse_factor", 1j, "int"), ("strategy", None, "str")]),
    cs.generate_parameters_h: ({"graph": G}, [
        ("default_precision", 16, "str"), ("default_reuse_factor", "1", "int"), ("io_type", None, "str")]),
    cs._node_input_shape: ({"node": None, "name": "n", "pred_name": "p", "graph": G}, [
        ("name", 1, "str"), ("pred_name", None, "str")]),
    cs._node_output_size: ({"node": ReLU(), "name": "n", "prev_shape": None}, [
        ("name", None, "str"), ("prev_shape", [3], "tuple")]),
    cs._layer_from_relu: ({"node": ReLU(), "name": "n"}, [("name", 3, "str")]),
    cs._layer_from_flatten: ({"node": Flatten(), "name": "n", "in_shape": None}, [("in_shape", [1, 2], "tuple")]),
    cs._layer_config: ({"node": ReLU(), "name": "n", "layer_dict": {}}, [
        ("name", b"n", "str"), ("layer_dict", [], "dict")]),
}
# fmt: on


@pytest.mark.parametrize(
    "function, argument, value, expected", [(f, *row) for f, (_, rows) in ARGUMENTS.items() for row in rows]
)
def test_argument_type_errors(function, argument, value, expected):
    valid = ARGUMENTS[function][0]
    function(**valid)
    with pytest.raises(TypeError) as info:
        function(**{**valid, argument: value})
    got = type(value).__name__
    assert str(info.value) == f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize("function", list(ARGUMENTS))
def test_a_missing_argument_is_a_type_error(function):
    arguments = dict(ARGUMENTS[function][0])
    del arguments["graph" if "graph" in arguments else "name"]
    with pytest.raises(TypeError):
        function(**arguments)


@pytest.mark.parametrize("number, expected", [(10.0, 10), (5.9, 5), (np.float64(-5.9), -5), (np.int8(7), 7)])
def test_numeric_arguments_are_truncated_to_plain_integers(number, expected):
    config = cs.ir_to_hls4ml_config(G, clock_period=number, default_reuse_factor=number)
    assert_same_map([config["ClockPeriod"], config["HLSConfig"]["Model"]["ReuseFactor"]], [expected] * 2)


PRELUDE = """#ifndef PARAMETERS_H_
#define PARAMETERS_H_

#include "ap_fixed.h"
#include "ap_int.h"
#include "nnet_utils/nnet_common.h"
#include "nnet_utils/nnet_helpers.h"
#include "nnet_utils/nnet_activation.h"
#include "nnet_utils/nnet_dense.h"
#include "nnet_utils/nnet_conv2d.h"
#include "nnet_utils/nnet_pooling.h"
#include "nnet_utils/nnet_batchnorm.h"
#include "nnet_utils/complex_lif.h"

typedef {} model_default_t;

"""

DENSE = """struct config{} : nnet::dense_config {{
    static const unsigned n_in = {};
    static const unsigned n_out = {};
    static const unsigned io_type = nnet::{};
    static const unsigned reuse_factor = {};
    static const unsigned n_zeros = 0;
    static const unsigned n_nonzeros = {};
    static const bool store_weights_in_bram = false;
    typedef {} accum_t;
    typedef {} bias_t;
    typedef {} weight_t;
    typedef ap_uint<1> index_t;
}};  // {}

"""

CONV2D = """struct config{} : nnet::conv2d_config {{
    static const unsigned n_filt = {};
    static const unsigned n_chan = {};
    static const unsigned filt_height = {};
    static const unsigned filt_width = {};
    static const unsigned stride_height = {};
    static const unsigned stride_width = {};
    static const unsigned pad_top = {ph};
    static const unsigned pad_bottom = {ph};
    static const unsigned pad_left = {pw};
    static const unsigned pad_right = {pw};
    static const unsigned reuse_factor = {};
    typedef {} accum_t;
    typedef {} bias_t;
    typedef {} weight_t;
}};  // {}

"""

POOL = """struct config{} : nnet::pooling2d_config {{
    static const unsigned pool_height = {};
    static const unsigned pool_width = {};
    static const unsigned stride_height = {};
    static const unsigned stride_width = {};
    static const unsigned pad_top = {ph};
    static const unsigned pad_bottom = {ph};
    static const unsigned pad_left = {pw};
    static const unsigned pad_right = {pw};
    static const nnet::Pool_Op pool_op = nnet::Pool_Op::{};
}};  // {}

"""

BATCHNORM = """struct config{} : nnet::batchnorm_config {{
    static const unsigned n_in = {n};
    static const unsigned n_filt = {n};
    static const unsigned io_type = nnet::{};
    static const unsigned reuse_factor = {};
    typedef {} bias_t;
    typedef {} scale_t;
}};  // {}

"""

ACTIVATION = """struct config{} : nnet::activ_config {{
    static const unsigned n_in = {};
    static const unsigned table_size = 1024;
    typedef {} table_t;
}};  // {}

"""

LIF_BLOCK = """struct config{} : nnet::lif_config {{
    static const unsigned n_in = {n};
    static const unsigned n_out = {n};
    static constexpr float threshold = {}f;
    static constexpr float leak = {}f;
}};  // {}

"""

P, M = "ap_fixed<18,8>", "model_default_t"


def header(precision, *blocks):
    return PRELUDE.format(precision) + "".join(blocks) + "#endif"


def skipped(idx, name, kind):
    return f"// config{idx}: {name} ({kind}) -- skipped\n\n"


def test_network_header():
    expected = header(
        P,
        CONV2D.format(1, 8, 3, 3, 3, 1, 1, 4, P, M, "ap_fixed<8,3>", "conv1", ph=1, pw=1),
        ACTIVATION.format(2, 8192, P, "relu1"),
        POOL.format(3, 2, 2, 2, 2, "Max", "pool1", ph=0, pw=0),
        CONV2D.format(4, 16, 8, 5, 5, 2, 1, 3, "A", "B", P, "conv2", ph=2, pw=2),
        BATCHNORM.format(5, "io_stream", 3, M, "ap_fixed<10,2>", "bn", n=16),
        ACTIVATION.format(6, 16, P, "lrelu"),
        POOL.format(7, 3, 3, 2, 2, "Average", "pool2", ph=1, pw=0),
        skipped(8, "flat", "Flatten"),
        DENSE.format(9, 400, 10, "io_stream", 2, 3428, P, M, P, "fc"),
        LIF_BLOCK.format(10, "0.5", "0.950000", "lif", n=10),
        DENSE.format(11, 10, 4, "io_stream", 3, 4, P, M, P, "sfc"),
        BATCHNORM.format(12, "io_stream", 3, M, P, "bn1", n=4),
        ACTIVATION.format(13, 4, P, "sig"),
        skipped(14, "t1", "Tanh"),
        skipped(15, "c1d", "Conv1d"),
    )
    assert cs.generate_parameters_h(network(tanh=True), P, 3.7, "io_stream") == expected


@pytest.mark.parametrize(
    "io_type, io_enum",
    [({}, "io_parallel"), ({"io_type": "io_stream"}, "io_stream"), ({"io_type": "IO_PARALLEL"}, "io_stream")],
)
def test_two_layer_header_with_defaults(io_type, io_enum):
    d = "ap_fixed<16,6>"
    expected = header(
        d,
        DENSE.format(1, 784, 10, io_enum, 1, 7840, d, M, d, "fc1"),
        LIF_BLOCK.format(2, "1.0", "0.950000", "lif1", n=10),
    )
    assert cs.generate_parameters_h(mlp(), **io_type) == expected


def test_a_graph_without_computing_nodes_is_the_prelude_and_endif():
    text = cs.generate_parameters_h(Graph.sequential(("in", Input()), ("out", Output())), "float")
    assert text == header("float")


# fmt: off
@pytest.mark.parametrize("settings, rf, types", [
    ({"reuse_factor": 0}, 5, ("A", M, "A")),
    ({"reuse_factor": None}, 5, ("A", M, "A")),
    ({"reuse_factor": 2.5, "weight_t": "", "bias_t": "", "accum_t": None}, 2.5, ("A", M, "A")),
    ({"reuse_factor": np.int64(7), "weight_t": "w", "bias_t": "b", "accum_t": "a", "result_t": "r"}, 7,
     ("a", "b", "w")),
])
def test_reuse_factor_and_types_fall_back_to_the_defaults(settings, rf, types):
    g = Graph({"fc": Affine(np.array([[0.0, 1.0, 0.0]]), **settings)})
    expected = header("A", DENSE.format(1, 3, 1, "io_parallel", rf, 1, *types, "fc"))
    assert cs.generate_parameters_h(g, "A", np.float32(5.9)) == expected
# fmt: on


def test_dimensions_are_rendered_as_given_and_subclasses_take_their_base_block():
    g = Graph.sequential(
        ("c", DepthConv(np.ones((2, 1, 3, 3)), stride=np.int64(2), padding=(1, 0))),
        ("p", ir.MaxPool2d(kernel_size=[np.int16(3), 2.0], stride=None, padding=(0, 1))),
        ("g", Gate()),
        ("a", ir.AvgPool2d(stride=(1, 1))),
        ("bn", ir.BatchNorm1d(np.float64(8.0))),
    )
    expected = header(
        "T",
        CONV2D.format(1, 2, 1, 3, 3, 2, 2, 1, "T", M, "T", "c", ph=1, pw=0),
        POOL.format(2, 3, "2.0", 3, "2.0", "Max", "p", ph=0, pw=1),
        skipped(3, "g", "Gate"),
        POOL.format(4, 2, 2, 1, 1, "Average", "a", ph=0, pw=0),
        BATCHNORM.format(5, "io_parallel", 1, M, "T", "bn", n=8),
    )
    assert cs.generate_parameters_h(g, "T") == expected


@pytest.mark.parametrize(
    "node, error, message",
    [
        (Conv2d(np.ones((1, 1, 1, 1, 1))), ValueError, r"^too many values to unpack \(expected 4\)$"),
        (Conv2d(np.ones((2, 2))), ValueError, "^need more than 2 values to unpack$"),
        (Conv2d(np.ones((1, 1, 1, 1)), padding=(1,)), ValueError, "^need more than 1 value to unpack$"),
        (Affine(np.ones(4)), ValueError, "^need more than 1 value to unpack$"),
        (ir.MaxPool2d((2, 2, 2)), ValueError, r"^too many values to unpack \(expected 2\)$"),
        (ir.AvgPool2d(padding=(0,)), ValueError, "^need more than 1 value to unpack$"),
        (LIF(np.array([0.0, 3.0]), np.ones(2)), ZeroDivisionError, "^float division$"),
        (ReLU(features=None), TypeError, "int()"),
    ],
)
def test_failures_stop_the_whole_header(node, error, message):
    g = Graph.sequential(("in", Input()), ("fc", Affine(np.ones((2, 2)))), ("bad", node))
    with pytest.raises(error, match=message):
        cs.generate_parameters_h(g)


@pytest.mark.parametrize(
    "name, shown",
    [
        ("a\nb cr\r\nlf tab\t nul\x00\x1b[0m\x1f", "a\\nb cr\\r\\nlf tab\\t nul\\x00\\x1b[0m\\x1f"),
        ("a\\nb {idx} {name} {n_in} ünïcødé 名前 ", "a\\nb {idx} {name} {n_in} ünïcødé 名前 "),
        # a backslash at the end (spaces after it too) would continue the comment onto the
        # next line; so would the trigraph ??/, and no other trigraph may form either
        ("ends\\", "ends\\x5c"),
        ("two\\\\", "two\\\\x5c"),
        ("spaced\\  ", "spaced\\x5c  "),
        ("tri??/", "tri?\\x3f/"),
        ("???=?", "?\\x3f?=?"),
        ("asks? c*/ /* d", "asks? c*/ /* d"),
    ],
)
def test_names_in_comments_keep_one_line_per_comment(name, shown):
    g = Graph.sequential(("in", Input()), (name, ReLU(2)), ("t" + name, ir.Tanh()))
    expected = header("T", ACTIVATION.format(1, 2, "T", shown), skipped(2, "t" + shown, "Tanh"))
    assert cs.generate_parameters_h(g, "T") == expected
    assert cs._layer_from_relu(ReLU(2), name)["name"] == name


doubles = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False),
    st.floats(min_value=-1e-3, max_value=1e-3, allow_nan=False),
    st.integers(-(10**20), 10**20).map(float),
    st.sampled_from(
        [1.0, 0.5, 1e-4, 9.999e-5, 1e15, 1e16, 123456789012345.6, -0.0, 5e-324, 1.7976931348623157e308]
    ),
)


@settings(max_examples=300, deadline=None)
@given(v_th=doubles, tau=doubles)
def test_lif_threshold_and_leak_renderings(v_th, tau):
    g = Graph({"l": LIF(np.array([tau, 1.0]), np.array([v_th]))})
    if tau == 0.0:
        with pytest.raises(ZeroDivisionError, match="^float division$"):
            cs.generate_parameters_h(g)
        return
    leak = 1.0 - 1.0 / tau
    lines = cs.generate_parameters_h(g).split("\n")
    if math.isinf(leak):  # a tau so small that 1 / tau overflows: the header includes <limits>
        assert lines.pop(13) == "#include <limits>"
        leak_text = ("-" if leak < 0 else "") + "std::numeric_limits<float>::infinity()"
    else:
        leak_text = format(leak, ".6f") + "f"
    assert lines[16:18] == ["struct config1 : nnet::lif_config {", "    static const unsigned n_in = 2;"]
    assert lines[19] == f"    static constexpr float threshold = {v_th!r}f;"
    assert lines[20] == f"    static constexpr float leak = {leak_text};"
