"""cfgsmith on hostile graphs: non-finite LIF constants, LIF attributes that are not arrays,
values nested without end or changed while they are read, text without a UTF-8 form, integers
of any size, and text that would add lines of code to parameters.h."""

import math
import os
import re
import shutil
import subprocess
import sys
import textwrap
from types import SimpleNamespace

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tests.test_fpga_config import ACTIVATION, BATCHNORM, CONV2D, DENSE, POOL, PRELUDE, header, layer
from zelka import ir
from zelka.backend.fpga import cfgsmith as cs
from zelka.ir import LIF, Affine, Conv2d, Graph, Input, ReLU

INF = "std::numeric_limits<float>::infinity()"
M = "model_default_t"


def lif_graph(tau, v_threshold):
    return Graph({"lif1": LIF(np.array([tau, 1.0]), np.array([v_threshold]))})


# fmt: off
@pytest.mark.parametrize("tau, v_threshold, threshold, leak", [
    (20.0, math.inf, INF, "0.950000f"), (20.0, -math.inf, "-" + INF, "0.950000f"),
    (1e-320, 0.5, "0.5f", "-" + INF), (-1e-320, 1e-05, "1e-05f", INF), (math.inf, -math.inf, "-" + INF, "1.000000f"),
])
def test_infinite_lif_constants_are_written_through_numeric_limits(tau, v_threshold, threshold, leak):
    with_limits = PRELUDE.replace('complex_lif.h"\n', 'complex_lif.h"\n#include <limits>\n')
    assert cs.generate_parameters_h(lif_graph(tau, v_threshold)) == with_limits.format("ap_fixed<16,6>") + (
        "struct config1 : nnet::lif_config {\n    static const unsigned n_in = 2;\n    static const unsigned n_out = 2;\n"
        f"    static constexpr float threshold = {threshold};\n    static constexpr float leak = {leak};\n"
        "};  // lif1\n\n#endif"
    )
# fmt: on


@pytest.mark.parametrize("tau, v_threshold, quantity", [(20.0, math.nan, "threshold"), (math.nan, 1, "leak")])
def test_a_nan_lif_constant_stops_the_header_but_not_the_configuration(tau, v_threshold, quantity):
    with pytest.raises(ValueError) as info:
        cs.generate_parameters_h(lif_graph(tau, v_threshold))
    assert str(info.value) == f"LIF node 'lif1': {quantity} is NaN, which parameters.h cannot hold"
    described = cs.ir_to_hls4ml_config(lif_graph(tau, v_threshold))["Layers"][0]
    assert math.isnan(described[quantity])


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_the_header_with_infinite_lif_constants_compiles(tmp_path):
    g = Graph({"a": LIF(np.array([20.0]), np.array([math.inf])), "b": LIF(np.array([1e-320]), np.ones(1))})
    # the HLS library headers are not here: keep the standard include and stand in for nnet
    lines = cs.generate_parameters_h(g, "float").split("\n")
    code = [line for line in lines if not line.startswith('#include "')]
    source = tmp_path / "parameters.cpp"
    source.write_text("namespace nnet { struct lif_config {}; }\n" + "\n".join(code) + "\n")
    compiler = ["g++", "-std=c++14", "-fsyntax-only", str(source)]
    result = subprocess.run(compiler, check=False, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


# fmt: off
@pytest.mark.parametrize("read", [
    lambda node: cs._layer_from_lif(node, "lif"), lambda node: cs.generate_parameters_h(Graph({"lif": node})),
    lambda node: cs.ir_to_hls4ml_config(Graph({"lif": node})),
])
@pytest.mark.parametrize("tau, v_threshold, message", [
    (20.0, np.ones(1), "tau must be a numpy array (got float)"),
    ([20.0], np.ones(1), "tau must be a numpy array (got list)"),
    (np.full(2, 20.0), 1, "v_threshold must be a numpy array (got int)"),
])
def test_lif_attributes_that_are_not_arrays_are_named(read, tau, v_threshold, message):
    with pytest.raises(AttributeError) as info:
        read(LIF(tau, v_threshold))
    assert str(info.value) == f"LIF node 'lif': {message}"
# fmt: on


def containing_itself(empty):
    empty[0 if isinstance(empty, list) else "self"] = empty
    return empty


def nested(depth, innermost=None, kinds=(list, tuple, dict)):
    """`innermost` inside `depth` levels of the given container kinds in turn."""
    wrap = {list: lambda v: [v], tuple: lambda v: (v,), dict: lambda v: {"k": v}}
    for level in range(depth):
        innermost = wrap[kinds[level % len(kinds)]](innermost)
    return innermost


# fmt: off
@pytest.mark.parametrize("make", [
    lambda: containing_itself([None]), lambda: containing_itself({}), lambda: nested(200_000, kinds=(list,)),
    lambda: nested(200_000),
], ids=["list containing itself", "dict containing itself", "lists 200000 deep", "containers 200000 deep"])
@pytest.mark.parametrize("convert", [
    lambda v: cs._extract_precision_dict(ReLU(weight_t=v)),
    lambda v: cs._layer_from_conv2d(Conv2d(np.ones((1, 1, 1, 1)), accum_t=v), "c"),
    lambda v: cs.ir_to_hls4ml_config(Graph({"r": ReLU(2, weight_t=v)})),
    lambda v: cs.ir_to_hls4ml_config(Graph({"in": Input(input_type={"input": [v]})})),
], ids=["precision map", "layer description", "type attribute", "input shape"])
def test_values_nested_without_end_raise_recursion_error(make, convert):
    with pytest.raises(RecursionError, match="while converting a configuration value"):
        convert(make())
# fmt: on


def peel(value, depth):
    """The kinds of the outer `depth` levels of a nested value and what they hold, read without
    recursion (== on deep values would hit the recursion limit)."""
    kinds = []
    for _ in range(depth):
        kinds.append(type(value))
        value = value["k"] if isinstance(value, dict) else value[0]
    return kinds, value


def test_values_as_deep_as_the_recursion_limit_allows_come_back_whole():
    depth, limit = 15_000, sys.getrecursionlimit()
    sys.setrecursionlimit(depth + 2_000)
    try:
        given_value = nested(depth, ("x", 2**70, -(2**64), 2.5))
        result = cs._extract_precision_dict(ReLU(weight_t=given_value))["weight"]
        # nodes named by deep tuples that differ only at the bottom keep their own entries
        names = [nested(depth, leaf, kinds=(tuple,)) for leaf in "pq"]
        g = Graph({names[0]: ReLU(2, reuse_factor=1), names[1]: ReLU(2, reuse_factor=2)})
        entries = cs.ir_to_hls4ml_config(g)["HLSConfig"]["LayerName"].items()
        reuse_by_leaf = {peel(name, depth)[1]: entry["ReuseFactor"] for name, entry in entries}
    finally:
        sys.setrecursionlimit(limit)
    assert peel(result, depth) == peel(given_value, depth)
    assert reuse_by_leaf == {"p": 1, "q": 2}


class Clearing:
    """Clears a dict when its text is asked for: user code running while that dict is read."""

    def __init__(self, target):
        self.target = target

    def __str__(self):
        self.target.clear()
        return "cleared"


def dict_cleared_by_its(part):
    """A dict that its key or value clears when asked for its text, and its items as they were
    (with equal keys: only the dict holds its own, so clearing it frees them)."""
    value = {}
    clearing = Clearing(value)
    first, middle, last = (f"{word}!" for word in ("first", "middle", "last"))
    value[first] = 0
    value.update({clearing: 1} if part == "key" else {middle: clearing})
    value[last] = 2
    return value, [("first!", 0), (clearing, 1) if part == "key" else ("middle!", clearing), ("last!", 2)]


def test_a_dict_changed_while_it_is_read_is_read_as_it_was():
    # in a child process with the debug allocator, which overwrites freed memory: reading a
    # key the dict no longer holds fails there
    script = textwrap.dedent("""\
        from tests.test_fpga_hardening import cs, dict_cleared_by_its, ReLU
        for part in ("key", "value"):
            value, items = dict_cleared_by_its(part)
            assert list(cs._extract_precision_dict(ReLU(weight_t=value))["weight"].items()) == items
        print("read")
        """)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = {**os.environ, "PYTHONMALLOC": "debug"}
    run = subprocess.run(
        [sys.executable, "-c", script], check=False, capture_output=True, text=True, env=env, cwd=root
    )
    assert (run.returncode, run.stdout) == (0, "read\n"), run.stderr


LONE = "\ud800"


# fmt: off
@pytest.mark.parametrize("call", [
    lambda: cs.ir_to_hls4ml_config(Graph({}), project_name=LONE),
    lambda: cs.ir_to_hls4ml_config(Graph({}), io_type=LONE),
    lambda: cs.ir_to_hls4ml_config(Graph({}), default_precision=LONE),
    lambda: cs.ir_to_hls4ml_config(Graph({"r": LIF(np.ones(1), np.ones(1), result_t=LONE)})),
    lambda: cs.ir_to_hls4ml_config(Graph({LONE: ReLU(2)})),
    lambda: cs._extract_precision_dict(ReLU(bias_t=LONE)),
    lambda: cs._layer_from_relu(ReLU(2), LONE),
    lambda: cs.generate_parameters_h(Graph({}), LONE),
    lambda: cs.generate_parameters_h(Graph({}), io_type=LONE),
    lambda: cs.generate_parameters_h(Graph({"fc": Affine(np.ones((2, 2)), weight_t=LONE)})),
    lambda: cs.generate_parameters_h(Graph({LONE: ReLU(2)})),
])
def test_text_without_a_utf8_form_raises_unicode_encode_error(call):
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        call()
# fmt: on


def assert_exact_ints(actual, expected):
    assert actual == expected and [type(x) for x in actual] == [int] * len(expected)


@pytest.mark.parametrize("n", [2**63, 2**64, 2**70, -(2**63) - 1, -(2**80), 10**40])
def test_integers_beyond_64_bits_come_back_exact(n):
    relu = cs._layer_from_relu(ReLU(n), "r")
    bn = cs._layer_from_batchnorm2d(ir.BatchNorm2d(n), "bn")
    conv = cs._layer_from_conv1d(ir.Conv1d(np.ones((2, 1, 3)), stride=n, padding=float(2**64)), "c")
    g = Graph({"in": Input(input_type={"input": (n, 2**64, 3)}), "fc": Affine(np.ones((2, 2)), reuse_factor=n)})  # fmt: skip
    config = cs.ir_to_hls4ml_config(g, clock_period=n, default_reuse_factor=n)
    hls = config["HLSConfig"]
    assert_exact_ints([relu["n_in"], relu["n_out"], bn["n_in"], conv["stride_width"], conv["padding_width"]],
                      [n, n, n, n, 2**64])  # fmt: skip
    assert_exact_ints(config["InputShape"], [n, 2**64, 3])
    assert_exact_ints([config["ClockPeriod"], hls["Model"]["ReuseFactor"], hls["LayerName"]["fc"]["ReuseFactor"],
                       config["Layers"][0]["reuse_factor"]], [n] * 4)  # fmt: skip
    bn_header = BATCHNORM.format(1, "io_parallel", n, M, "T", "bn", n=n)
    assert cs.generate_parameters_h(Graph({"bn": ir.BatchNorm1d(n)}), "T", n) == header("T", bn_header)


@pytest.mark.parametrize(
    "shape",
    [(2**32, 2**32), (2**40, 2**40, 3), (10**30, 0), (np.int64(2**62), 4), np.array([2**32, 2**32, 3])],
)
def test_products_of_dimensions_are_exact(shape):
    exact = math.prod(int(d) for d in shape)
    declared = cs._node_output_size(ReLU(output_type={"output": shape}), "r", None)
    assert_exact_ints([declared, cs._node_output_size(ReLU(), "r", tuple(shape))], [exact, exact])
    assert cs._layer_from_flatten(ir.Flatten(), "f", tuple(shape))["target_shape"] == [exact or 1]
    g = Graph.sequential(("r", ReLU(output_type={"output": shape})), ("f", ir.Flatten()))
    assert cs.ir_to_hls4ml_config(g)["Layers"][1]["target_shape"] == [exact or 1]


sizes = st.one_of(st.integers(0, 64), st.integers(2**63 - 2, 2**63 + 2), st.integers(-(2**80), 2**80))


@settings(max_examples=60, deadline=None)
@given(dims=st.lists(sizes, min_size=10, max_size=10), rf=st.integers(1, 2**70))
def test_dimensions_of_any_size_are_written_and_described_exactly(dims, rf):
    kh, kw, sh, sw, ph, pw, c_out, c_in, ch, cw = dims
    weight = SimpleNamespace(shape=(c_out, c_in, ch, cw))
    g = Graph.sequential(
        ("c", Conv2d(weight, stride=(sh, sw), padding=[ph, pw], reuse_factor=rf)),
        ("p", ir.MaxPool2d((kh, kw), (sh, sw), (ph, pw))),
    )
    assert cs.generate_parameters_h(g, "T") == header(
        "T",
        CONV2D.format(1, c_out, c_in, ch, cw, sh, sw, rf, "T", M, "T", "c", ph=ph, pw=pw),
        POOL.format(2, kh, kw, sh, sw, "Max", "p", ph=ph, pw=pw),
    )
    conv, pool = cs.ir_to_hls4ml_config(g)["Layers"]
    assert conv == layer("Conv2D", "c", c_out, ch, cw, sh, sw, ph, pw, c_in, reuse_factor=rf)
    assert pool == layer("Pooling2D", "p", kh, kw, sh, sw, ph, pw, "Max")
    assert all(type(v) is int for v in [*conv.values(), *pool.values()] if not isinstance(v, str))


class Multiline:
    def __str__(self):
        return "1\n2"

    def __repr__(self):
        return "Multiline()"


INJECTED, ONES, MULTILINE = "x;\n#include </etc/passwd>\n", np.ones((1, 1, 1, 1)), Multiline()


# fmt: off
@pytest.mark.parametrize("node, what, value", [
    (Affine(np.ones((2, 2)), weight_t=INJECTED), "weight_t", INJECTED),
    (Affine(np.ones((2, 2)), bias_t="b\r"), "bias_t", "b\r"),
    (ir.SpikingAffine(np.ones((2, 2)), accum_t="a\x00"), "accum_t", "a\x00"),
    (Affine(np.ones((2, 2)), reuse_factor="4\n"), "reuse_factor", "4\n"),
    (Affine(SimpleNamespace(shape=("2\n", 3))), "weight shape", "2\n"),
    (Conv2d(ONES, weight_t="t\x85"), "weight_t", "t\x85"),
    (Conv2d(ONES, bias_t="\x7f"), "bias_t", "\x7f"),
    (Conv2d(ONES, stride=[1, "2\n#define N 3"]), "stride", "2\n#define N 3"),
    (Conv2d(ONES, padding="0\t"), "padding", "0\t"),
    (Conv2d(ONES, reuse_factor=MULTILINE), "reuse_factor", MULTILINE),
    (ir.MaxPool2d(("2\n", 2)), "kernel_size", "2\n"),
    (ir.AvgPool2d((2, 2), padding=(0, "1\x1b")), "padding", "1\x1b"),
    (ir.BatchNorm2d(4, weight_t="w\n"), "weight_t", "w\n"),
    (ir.BatchNorm1d(4, reuse_factor="\n"), "reuse_factor", "\n"),
    (LIF(SimpleNamespace(ndim=1, shape=["3\n"], size=1, flat=[20.0]), np.ones(1)), "tau shape", "3\n"),
])
def test_text_that_would_add_code_to_the_header_is_refused(node, what, value):
    with pytest.raises(ValueError) as info:
        cs.generate_parameters_h(Graph.sequential(("in", Input()), ("n\n1", node)))
    rule = "must be text without line breaks or other control characters"
    assert str(info.value) == f"{type(node).__name__} node 'n\\n1': {what} {rule} (got {value!r})"


@pytest.mark.parametrize("precision", ["ap_fixed<16,6>\n#define X", "a\rb", "\x00", "t\x9f"])
def test_a_default_precision_with_control_characters_is_refused(precision):
    with pytest.raises(ValueError) as info:
        cs.generate_parameters_h(Graph({}), precision)
    rule = "must be text without line breaks or other control characters"
    assert str(info.value) == f"Argument 'default_precision' {rule} (got {precision!r})"
# fmt: on


@pytest.mark.parametrize("node, what, value", [
    (Affine(np.ones((2, 2)), weight_t="ap_fixed<16,6>??/"), "weight_t", "ap_fixed<16,6>??/"),
    (Conv2d(ONES, accum_t="a??<b"), "accum_t", "a??<b"),
    (ir.BatchNorm2d(4, reuse_factor="1??="), "reuse_factor", "1??="),
])  # fmt: skip
def test_text_with_a_trigraph_is_refused(node, what, value):
    with pytest.raises(ValueError) as info:
        cs.generate_parameters_h(Graph.sequential(("in", Input()), ("n", node)))
    rule = "must be text without trigraphs such as '??/', which C++14 compilers read as other characters"
    assert str(info.value) == f"{type(node).__name__} node 'n': {what} {rule} (got {value!r})"
    with pytest.raises(ValueError, match=re.escape(f"Argument 'default_precision' {rule} (got 'T??-')")):
        cs.generate_parameters_h(Graph({}), "T??-")
    # a '?' pair that forms no trigraph is kept
    assert "typedef T??? model_default_t;" in cs.generate_parameters_h(Graph({}), "T???")


def test_text_the_header_does_not_write_and_the_configuration_keep_what_they_are_given():
    nodes = [
        ("fc", Affine(np.ones((2, 2)), result_t=INJECTED)),
        ("r", ReLU(2, weight_t=INJECTED, reuse_factor="1\n")),
    ]
    g = Graph.sequential(*nodes, ("t\n#x", type("Gate\n#error", (ir.Tanh,), {})()))
    assert cs.generate_parameters_h(g, "T") == header(
        "T",
        DENSE.format(1, 2, 2, "io_parallel", 1, 4, "T", M, "T", "fc"),
        ACTIVATION.format(2, 2, "T", "r"),
        "// config3: t\\n#x (Gate\\n#error) -- skipped\n\n",
    )
    config = cs.ir_to_hls4ml_config(Graph.sequential(*nodes), project_name="p\nq", default_precision="a\nb")
    assert config["ProjectName"] == "p\nq" and config["HLSConfig"]["Model"]["Precision"] == "a\nb"
    assert config["HLSConfig"]["LayerName"]["r"] == {"Precision": {"weight": INJECTED}, "ReuseFactor": 1}
    assert config["Layers"][0]["result_t"] == INJECTED
