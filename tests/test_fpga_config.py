"""cfgsmith: graph order and shapes, hls4ml layer descriptions and the hls4ml configuration map."""

import difflib
import itertools
import json
from types import SimpleNamespace

import numpy as np
import pytest

from zelka.backend.cpu import graph_utils
from zelka.backend.fpga import cfgsmith as cs
from zelka.ir import (
    LIF,
    Affine,
    AvgPool2d,
    BatchNorm1d,
    BatchNorm2d,
    Conv1d,
    Conv2d,
    Flatten,
    Graph,
    Input,
    MaxPool2d,
    Node,
    Output,
    ReLU,
    SepConv2d,
    Sigmoid,
    Softmax,
    SpikingAffine,
    Tanh,
    Upsample,
)


def assert_text_equal(actual, expected):
    """Whole-text equality; a failure shows the unified diff."""
    if actual != expected:
        diff = difflib.unified_diff(
            expected.splitlines(), actual.splitlines(), "expected", "actual", lineterm=""
        )
        pytest.fail("text differs:\n" + "\n".join(diff), pytrace=False)


def assert_same_map(actual, expected):
    """Equal values, equal key order at every level, and the same plain value types."""
    assert_text_equal(json.dumps(actual, indent=1), json.dumps(expected, indent=1))

    def walk(a, e):
        assert type(a) is type(e), (a, e)
        if isinstance(a, dict):
            a, e = list(a.values()), list(e.values())
        if isinstance(a, list):
            for x, y in zip(a, e):
                walk(x, y)

    assert actual == expected
    walk(actual, expected)


def network(*, tanh=False):
    """A chain of every supported kind; the nodes are declared in reverse of execution order."""
    chain = [
        ("in", Input(input_type={"input": (3, 32, 32)})),
        (
            "conv1",
            Conv2d(np.ones((8, 3, 3, 3)), stride=1, padding=(1, 1), weight_t="ap_fixed<8,3>", reuse_factor=4),
        ),
        ("relu1", ReLU(8192)),
        ("pool1", MaxPool2d((2, 2), padding=(0, 0), output_type={"output": (8, 16, 16)})),
        (
            "conv2",
            Conv2d(np.ones((16, 8, 5, 5)), stride=[2, 1], padding=2, bias_t="B", accum_t="A", reuse_factor=0),
        ),
        ("bn", BatchNorm2d(16, weight_t="ap_fixed<10,2>")),
        ("lrelu", ReLU(16, negative_slope=0.125)),
        ("pool2", AvgPool2d((3, 3), stride=(2, 2), padding=(1, 0), output_type={"output": (16, 5, 5)})),
        ("flat", Flatten()),
        ("fc", Affine(np.arange(4000).reshape(10, 400) % 7, reuse_factor=2)),
        ("lif", LIF(np.full(10, 20.0), np.full(10, 0.5), result_t="ap_fixed<18,8>", reuse_factor=8)),
        ("sfc", SpikingAffine(np.eye(4, 10))),
        ("bn1", BatchNorm1d(4)),
        ("sig", Sigmoid(4)),
        *([("t1", Tanh(4))] if tanh else []),
        ("c1d", Conv1d(np.ones((2, 1, 3)), stride=2, padding=1)),
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
    return {
        "class_name": class_name,
        "name": name,
        **dict(zip(KEYS[class_name].split(), values, strict=True)),
        **tail,
    }


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


def test_an_input_whose_input_type_is_none_is_rejected():
    with pytest.raises(TypeError):
        cs.ir_to_hls4ml_config(Graph({"in": Input(input_type=None)}))


class DepthConv(Conv2d):
    pass


class Gate(Node):
    pass


@pytest.mark.parametrize(
    "node", [Tanh(), Softmax(), Upsample(), SepConv2d(np.ones((1, 1, 3, 3)), np.ones((2, 1, 1, 1))), Gate()]
)
def test_an_unsupported_kind_stops_the_configuration(node):
    g = Graph.sequential(("in", Input()), ("fc", Affine(np.ones((2, 2)))), ("x", node), ("out", Output()))
    with pytest.raises(ValueError) as info:
        cs.ir_to_hls4ml_config(g)
    assert str(info.value) == f"Unsupported node type for hls4ml: {type(node).__name__}"


def test_dispatch_accepts_subclasses():
    layers = cs.ir_to_hls4ml_config(Graph({"dc": DepthConv(np.ones((2, 1, 3, 3)))}))["Layers"]
    assert layers == [layer("Conv2D", "dc", 2, 3, 3, 1, 1, 0, 0, 1)]


def test_flatten_takes_the_shape_of_its_first_predecessor():
    a, b = ReLU(output_type={"output": (4, 5)}), ReLU(output_type={"output": np.array([2, 3])})
    edges = [("b", "f"), ("a", "f"), ("ghost", "g"), ("a", "g"), ("a", "nowhere")]
    layers = cs.ir_to_hls4ml_config(Graph({"a": a, "b": b, "f": Flatten(), "g": Flatten()}, edges))["Layers"]
    assert [layer["target_shape"] for layer in layers[2:]] == [[6], [1]]


def test_every_computing_node_reads_its_predecessor_shape():
    g = Graph.sequential(("r", ReLU(3, output_type={"output": ("x",)})), ("fc", Affine(np.ones((2, 3)))))
    with pytest.raises(ValueError, match="invalid literal for int"):
        cs.ir_to_hls4ml_config(g)


@pytest.mark.parametrize(
    "context, error, message",
    [
        ((["a"], {}), ValueError, "^need more than 2 values to unpack$"),
        ((["a"],), ValueError, "^need more than 1 value to unpack$"),
        ((["a"], {}, True, None), ValueError, r"^too many values to unpack \(expected 3\)$"),
        ((("a",), {}, True), TypeError, "^Expected list, got tuple$"),
    ],
)
def test_the_execution_context_must_hold_three_values_and_a_list(monkeypatch, context, error, message):
    monkeypatch.setattr(graph_utils, "build_execution_context", lambda graph: context)
    for call in (cs._topological_order, cs.ir_to_hls4ml_config, cs.generate_parameters_h):
        with pytest.raises(error, match=message):
            call(Graph({"a": ReLU(2)}))


def test_the_execution_order_is_looked_up_at_each_call_and_used_as_given(monkeypatch):
    g = Graph({"a": ReLU(2), "b": Sigmoid(3)}, [("a", "b")])
    order = ["b", "a", "b"]
    monkeypatch.setattr(graph_utils, "build_execution_context", lambda graph: (order, None, False))
    assert cs._topological_order(g) is order
    assert [layer["name"] for layer in cs.ir_to_hls4ml_config(g)["Layers"]] == ["b", "a", "b"]
    monkeypatch.setattr(graph_utils, "build_execution_context", lambda graph: (None, None, True))
    assert cs._topological_order(g) is None


@pytest.mark.parametrize(
    "edge, message",
    [
        (("a", "b", "c"), r"^too many values to unpack \(expected 2\)$"),
        (("a",), "^need more than 1 value to unpack$"),
    ],
)
def test_an_edge_must_be_a_pair(monkeypatch, edge, message):
    monkeypatch.setattr(graph_utils, "build_execution_context", lambda graph: (["a"], {}, True))
    with pytest.raises(ValueError, match=message):
        cs.ir_to_hls4ml_config(Graph({"a": ReLU(2)}, [edge]))


@pytest.mark.parametrize(
    "pred, expected",
    [
        (None, None),
        (SimpleNamespace(), None),
        (ReLU(output_type={}), None),
        (ReLU(output_type={"other": (3,)}), None),
        (ReLU(output_type={"output": ()}), None),
        (ReLU(output_type={"output": np.array([1, 28, 28])}), (1, 28, 28)),
        (ReLU(output_type={"output": np.array([], dtype=np.int64)}), ()),
        (ReLU(output_type={"output": [np.int64(4), 2.0]}), (4, 2)),
    ],
)
def test_node_input_shape(pred, expected):
    shape = cs._node_input_shape(Flatten(), "f", "p", Graph({} if pred is None else {"p": pred}))
    assert shape == expected
    assert shape is None or (type(shape) is tuple and all(type(d) is int for d in shape))


@pytest.mark.parametrize(
    "output_type, prev_shape, expected",
    [
        ({"output": (2, 3, 4)}, (7,), 24),
        ({"output": np.array([[2, 3], [4, 1]])}, None, 24),
        ({"output": np.array([], dtype=np.int64)}, None, 1),
        ({"output": ()}, (5,), 0),
        ({}, (5,), 5),
        (None, (2**31, 2**31), 2**62),
        (None, None, 0),
        (None, (), 0),
    ],
)
def test_node_output_size(output_type, prev_shape, expected):
    size = cs._node_output_size(ReLU(output_type=output_type), "r", prev_shape)
    assert size == expected and type(size) is int


W4 = np.ones((16, 3, 3, 3))


# fmt: off
@pytest.mark.parametrize("extract, node, expected", [
    (cs._layer_from_conv2d, Conv2d(W4, stride=(2, 1), padding=[np.int64(0), 2], result_t="r", reuse_factor=None),
     layer("Conv2D", "n", 16, 3, 3, 2, 1, 0, 2, 3, result_t="r")),
    (cs._layer_from_conv1d, Conv1d(np.ones((4, 2, 5)), stride=3.0, padding=2, accum_t="a", reuse_factor=np.int32(2)),
     layer("Conv1D", "n", 4, 5, 3, 2, 2, accum_t="a", reuse_factor=2)),
    (cs._layer_from_affine, SpikingAffine(np.ones((10, 784)), bias_t="b", reuse_factor=0),
     layer("Dense", "n", 784, 10, bias_t="b", reuse_factor=0)),
    (cs._layer_from_lif, LIF(np.array([20.0, 20.0]), np.array([1.0, 1.0]), weight_t="w", reuse_factor=5),
     layer("H_LIF", "n", 2, 2, 1.0, 0.95, weight_t="w")),
    (cs._layer_from_lif, LIF(np.array(10.0), np.array([[0.25, 1.0]], np.float32)), layer("H_LIF", "n", 1, 1, 0.25, 0.9)),
    (cs._layer_from_lif, LIF(np.array([]), np.array([])), layer("H_LIF", "n", 0, 0, 1.0, 0.0)),
    (cs._layer_from_maxpool2d, MaxPool2d((2, 2), None, (0, 0)), layer("Pooling2D", "n", 2, 2, 2, 2, 0, 0, "Max")),
    (cs._layer_from_avgpool2d, AvgPool2d([3, 3], [1, 1], (1, 1), reuse_factor=2, weight_t="w"),
     layer("Pooling2D", "n", 3, 3, 1, 1, 1, 1, "Avg", reuse_factor=2)),
    (cs._layer_from_batchnorm2d, BatchNorm1d(np.int64(6)), layer("BatchNormalization", "n", 6, 6)),
    (cs._layer_from_relu, ReLU(3, 0.01), layer("Activation", "n", 3, 3, "leaky_relu", leaky_slope=0.01)),
    (cs._layer_from_relu, ReLU(3, None, reuse_factor=2), layer("Activation", "n", 3, 3, "relu")),
    (cs._layer_from_sigmoid, Sigmoid(np.int16(7), weight_t="w"), layer("Activation", "n", 7, 7, "sigmoid")),
    (lambda node, name: cs._layer_from_flatten(node, name, (8, 4, 4)), Flatten(), layer("Reshape", "n", [128])),
    (lambda node, name: cs._layer_from_flatten(node, name, (np.int64(3), 2.0)), Flatten(), layer("Reshape", "n", [6])),
    (lambda node, name: cs._layer_from_flatten(node, name, None), Flatten(), layer("Reshape", "n", [1])),
    (lambda node, name: cs._layer_from_flatten(node, name, (5, 0)), Flatten(), layer("Reshape", "n", [1])),
])
def test_layer_extractors(extract, node, expected):
    assert_same_map(extract(node, "n"), expected)


@pytest.mark.parametrize("extract, node, error, message", [
    (cs._layer_from_conv2d, Conv2d(np.ones((1,) * 5)), ValueError, r"^too many values to unpack \(expected 4\)$"),
    (cs._layer_from_conv2d, Conv2d(np.ones((2, 2))), ValueError, "^need more than 2 values to unpack$"),
    (cs._layer_from_conv2d, Conv2d(W4, stride=(1,)), ValueError, "^need more than 1 value to unpack$"),
    (cs._layer_from_conv2d, Conv2d(W4, stride=()), ValueError, "^need more than 0 values to unpack$"),
    (cs._layer_from_conv2d, Conv2d(W4, padding=[1, 1, 1]), ValueError, r"^too many values to unpack \(expected 2\)$"),
    (cs._layer_from_conv1d, Conv1d(np.ones((2, 2))), ValueError, "^need more than 2 values to unpack$"),
    (cs._layer_from_conv1d, Conv1d(np.ones((2, 2, 2)), stride=(1, 1)), TypeError, "int()"),
    (cs._layer_from_affine, Affine(np.ones(3)), ValueError, "^need more than 1 value to unpack$"),
    (cs._layer_from_maxpool2d, MaxPool2d((2,)), ValueError, "^need more than 1 value to unpack$"),
    (cs._layer_from_avgpool2d, AvgPool2d(stride=(1, 2, 3)), ValueError, r"^too many values to unpack \(expected 2\)$"),
    (cs._layer_from_lif, LIF(np.array([0.0, 5.0]), np.ones(2)), ZeroDivisionError, "^float division$"),
    (cs._layer_from_lif, LIF(np.array(-0.0), np.ones(1)), ZeroDivisionError, "^float division$"),
    (cs._layer_from_affine, SimpleNamespace(weight=np.ones((2, 2))), AttributeError, "reuse_factor"),
    (cs._layer_from_batchnorm2d, BatchNorm2d("four"), ValueError, "invalid literal"),
    (lambda node, name: cs.ir_to_hls4ml_config(Graph({name: node})), LIF(np.zeros(3), np.ones(3)),
     ZeroDivisionError, "^float division$"),
])
def test_extractor_failures(extract, node, error, message):
    with pytest.raises(error, match=message):
        extract(node, "n")
# fmt: on


@pytest.mark.parametrize(
    "node, precision, per_layer",
    [
        (object(), {}, {}),
        (ReLU(), {}, {}),
        (LIF(np.ones(1), np.ones(1), result_t="r"), {"result": "r"}, {"Precision": {"result": "r"}}),
        (
            Affine(None, result_t="r", accum_t="a", bias_t="b", weight_t="w", reuse_factor=0),
            {"weight": "w", "bias": "b", "accum": "a", "result": "r"},
            {"Precision": {"weight": "w", "bias": "b", "accum": "a", "result": "r"}, "ReuseFactor": 0},
        ),
        (
            SimpleNamespace(bias_t="", reuse_factor=2.9),
            {"bias": ""},
            {"Precision": {"bias": ""}, "ReuseFactor": 2},
        ),
    ],
)
def test_precision_map_and_per_layer_map(node, precision, per_layer):
    assert_same_map(cs._extract_precision_dict(node), precision)
    assert_same_map(cs._layer_config(node, "n", {"ignored": 1}), per_layer)


def test_precision_values_are_copied_as_given():
    marker = object()
    assert cs._extract_precision_dict(ReLU(weight_t=marker))["weight"] is marker
    assert cs._layer_from_conv2d(Conv2d(W4, accum_t=marker), "c")["accum_t"] is marker


G = Graph({"a": ReLU(2)})
VALID = {
    cs.ir_to_hls4ml_config: {"graph": G},
    cs.generate_parameters_h: {"graph": G},
    cs._node_input_shape: {"node": None, "name": "n", "pred_name": "p", "graph": G},
    cs._node_output_size: {"node": ReLU(), "name": "n", "prev_shape": None},
    cs._layer_from_relu: {"node": ReLU(), "name": "n"},
    cs._layer_from_flatten: {"node": Flatten(), "name": "n", "in_shape": None},
    cs._layer_config: {"node": ReLU(), "name": "n", "layer_dict": {}},
}


# fmt: off
@pytest.mark.parametrize("function, argument, value, expected", [
    (cs.ir_to_hls4ml_config, "output_dir", None, "str"),
    (cs.ir_to_hls4ml_config, "project_name", 1, "str"),
    (cs.ir_to_hls4ml_config, "part", b"x", "str"),
    (cs.ir_to_hls4ml_config, "clock_period", "5", "int"),
    (cs.ir_to_hls4ml_config, "io_type", 1.0, "str"),
    (cs.ir_to_hls4ml_config, "default_precision", [], "str"),
    (cs.ir_to_hls4ml_config, "default_reuse_factor", None, "int"),
    (cs.ir_to_hls4ml_config, "default_reuse_factor", 1j, "int"),
    (cs.ir_to_hls4ml_config, "strategy", None, "str"),
    (cs.generate_parameters_h, "default_precision", 16, "str"),
    (cs.generate_parameters_h, "default_reuse_factor", "1", "int"),
    (cs.generate_parameters_h, "io_type", None, "str"),
    (cs._node_input_shape, "name", 1, "str"),
    (cs._node_input_shape, "pred_name", None, "str"),
    (cs._node_output_size, "name", None, "str"),
    (cs._node_output_size, "prev_shape", [3], "tuple"),
    (cs._layer_from_relu, "name", 3, "str"),
    (cs._layer_from_flatten, "in_shape", [1, 2], "tuple"),
    (cs._layer_config, "name", b"n", "str"),
    (cs._layer_config, "layer_dict", [], "dict"),
])
def test_argument_type_errors(function, argument, value, expected):
    function(**VALID[function])
    with pytest.raises(TypeError) as info:
        function(**{**VALID[function], argument: value})
    got = type(value).__name__
    assert str(info.value) == f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"
# fmt: on


@pytest.mark.parametrize("function", list(VALID))
def test_a_missing_argument_is_a_type_error(function):
    arguments = dict(VALID[function])
    del arguments["graph" if "graph" in arguments else "name"]
    with pytest.raises(TypeError):
        function(**arguments)


@pytest.mark.parametrize("number, expected", [(10.0, 10), (5.9, 5), (np.float64(-5.9), -5), (np.int8(7), 7)])
def test_numeric_arguments_are_truncated_to_plain_integers(number, expected):
    config = cs.ir_to_hls4ml_config(G, clock_period=number, default_reuse_factor=number)
    assert_same_map(
        [config["ClockPeriod"], config["HLSConfig"]["Model"]["ReuseFactor"]], [expected, expected]
    )
