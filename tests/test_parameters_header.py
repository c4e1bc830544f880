"""cfgsmith: the parameters.h header text."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tests.test_fpga_config import DepthConv, Gate, assert_text_equal, mlp, network
from zelka.backend.fpga import cfgsmith as cs
from zelka.ir import (
    LIF,
    Affine,
    AvgPool2d,
    BatchNorm1d,
    Conv1d,
    Conv2d,
    Graph,
    Input,
    MaxPool2d,
    Output,
    ReLU,
    Tanh,
)

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


def test_network_header():
    expected = (
        PRELUDE.format(P)
        + CONV2D.format(1, 8, 3, 3, 3, 1, 1, 4, P, M, "ap_fixed<8,3>", "conv1", ph=1, pw=1)
        + ACTIVATION.format(2, 8192, P, "relu1")
        + POOL.format(3, 2, 2, 2, 2, "Max", "pool1", ph=0, pw=0)
        + CONV2D.format(4, 16, 8, 5, 5, 2, 1, 3, "A", "B", P, "conv2", ph=2, pw=2)
        + BATCHNORM.format(5, "io_stream", 3, M, "ap_fixed<10,2>", "bn", n=16)
        + ACTIVATION.format(6, 16, P, "lrelu")
        + POOL.format(7, 3, 3, 2, 2, "Average", "pool2", ph=1, pw=0)
        + "// config8: flat (Flatten) -- skipped\n\n"
        + DENSE.format(9, 400, 10, "io_stream", 2, 3428, P, M, P, "fc")
        + LIF_BLOCK.format(10, "0.5", "0.950000", "lif", n=10)
        + DENSE.format(11, 10, 4, "io_stream", 3, 4, P, M, P, "sfc")
        + BATCHNORM.format(12, "io_stream", 3, M, P, "bn1", n=4)
        + ACTIVATION.format(13, 4, P, "sig")
        + "// config14: t1 (Tanh) -- skipped\n\n"
        + "// config15: c1d (Conv1d) -- skipped\n\n"
        + "#endif"
    )
    assert_text_equal(cs.generate_parameters_h(network(tanh=True), P, 3.7, "io_stream"), expected)


@pytest.mark.parametrize(
    "io_type, io_enum",
    [({}, "io_parallel"), ({"io_type": "io_stream"}, "io_stream"), ({"io_type": "IO_PARALLEL"}, "io_stream")],
)
def test_two_layer_header_with_defaults(io_type, io_enum):
    d = "ap_fixed<16,6>"
    expected = (
        PRELUDE.format(d)
        + DENSE.format(1, 784, 10, io_enum, 1, 7840, d, M, d, "fc1")
        + LIF_BLOCK.format(2, "1.0", "0.950000", "lif1", n=10)
        + "#endif"
    )
    assert_text_equal(cs.generate_parameters_h(mlp(), **io_type), expected)


def test_a_graph_without_computing_nodes_is_the_prelude_and_endif():
    text = cs.generate_parameters_h(Graph.sequential(("in", Input()), ("out", Output())), "float")
    assert_text_equal(text, PRELUDE.format("float") + "#endif")
    assert len(text.split("\n")) == 17


@pytest.mark.parametrize(
    "settings, rf, types",
    [
        ({"reuse_factor": 0}, 5, ("A", M, "A")),
        ({"reuse_factor": None}, 5, ("A", M, "A")),
        ({"reuse_factor": 2.5, "weight_t": "", "bias_t": "", "accum_t": None}, 2.5, ("A", M, "A")),
        (
            {"reuse_factor": np.int64(7), "weight_t": "w", "bias_t": "b", "accum_t": "a", "result_t": "r"},
            7,
            ("a", "b", "w"),
        ),
    ],
)
def test_reuse_factor_and_types_fall_back_to_the_defaults(settings, rf, types):
    g = Graph({"fc": Affine(np.array([[0.0, 1.0, 0.0]]), **settings)})
    text = cs.generate_parameters_h(g, "A", np.float32(5.9))
    assert_text_equal(
        text, PRELUDE.format("A") + DENSE.format(1, 3, 1, "io_parallel", rf, 1, *types, "fc") + "#endif"
    )


def test_dimensions_are_rendered_as_given_and_subclasses_take_their_base_block():
    g = Graph.sequential(
        ("c", DepthConv(np.ones((2, 1, 3, 3)), stride=np.int64(2), padding=(1, 0))),
        ("p", MaxPool2d(kernel_size=[np.int16(3), 2.0], stride=None, padding=(0, 1))),
        ("g", Gate()),
        ("a", AvgPool2d(stride=(1, 1))),
        ("bn", BatchNorm1d(np.float64(8.0))),
    )
    expected = (
        PRELUDE.format("T")
        + CONV2D.format(1, 2, 1, 3, 3, 2, 2, 1, "T", M, "T", "c", ph=1, pw=0)
        + POOL.format(2, 3, "2.0", 3, "2.0", "Max", "p", ph=0, pw=1)
        + "// config3: g (Gate) -- skipped\n\n"
        + POOL.format(4, 2, 2, 1, 1, "Average", "a", ph=0, pw=0)
        + BATCHNORM.format(5, "io_parallel", 1, M, "T", "bn", n=8)
        + "#endif"
    )
    assert_text_equal(cs.generate_parameters_h(g, "T"), expected)


@pytest.mark.parametrize(
    "node, error, message",
    [
        (Conv2d(np.ones((1, 1, 1, 1, 1))), ValueError, r"^too many values to unpack \(expected 4\)$"),
        (Conv2d(np.ones((2, 2))), ValueError, "^need more than 2 values to unpack$"),
        (Conv2d(np.ones((1, 1, 1, 1)), padding=(1,)), ValueError, "^need more than 1 value to unpack$"),
        (Affine(np.ones(4)), ValueError, "^need more than 1 value to unpack$"),
        (MaxPool2d((2, 2, 2)), ValueError, r"^too many values to unpack \(expected 2\)$"),
        (AvgPool2d(padding=(0,)), ValueError, "^need more than 1 value to unpack$"),
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
        ("a\nb", "a\\nb"),
        ("cr\r\nlf", "cr\\r\\nlf"),
        ("tab\there", "tab\\there"),
        ("nul\x00\x1b[0m\x1f", "nul\\x00\\x1b[0m\\x1f"),
        ("a\\nb", "a\\nb"),
        ("{idx} {name} {n_in}", "{idx} {name} {n_in}"),
        ("ünïcødé 名前 ", "ünïcødé 名前 "),
    ],
)
def test_names_in_comments_keep_one_line_per_comment(name, shown):
    g = Graph.sequential(
        ("in", Input()), (name, ReLU(2)), ("t" + name, Tanh()), ("c" + name, Conv1d(np.ones((1, 1, 1))))
    )
    expected = (
        PRELUDE.format("T")
        + ACTIVATION.format(1, 2, "T", shown)
        + f"// config2: t{shown} (Tanh) -- skipped\n\n"
        + f"// config3: c{shown} (Conv1d) -- skipped\n\n"
        + "#endif"
    )
    assert_text_equal(cs.generate_parameters_h(g, "T"), expected)
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
    lines = cs.generate_parameters_h(g).split("\n")
    assert lines[16:18] == ["struct config1 : nnet::lif_config {", "    static const unsigned n_in = 2;"]
    assert lines[19] == f"    static constexpr float threshold = {v_th!r}f;"
    assert lines[20] == f"    static constexpr float leak = {format(1.0 - 1.0 / tau, '.6f')}f;"
