// What the FPGA generators read from an IR node: one reading per node kind, shared by the
// hls4ml layer descriptions (which convert the entries to integers) and the parameters.h
// blocks (which write them as given).
#pragma once

#include <string>

#include "host/python.hpp"

namespace zelka::host::fpga {

// "{class name} node {repr(name)}": how messages about a node start ("LIF node 'lif1'").
std::string node_label(nb::handle node, nb::handle name);

// A dense node (Affine, SpikingAffine): its weight, stored outputs by inputs.
struct DenseShape {
  nb::object weight;
  nb::object outputs, inputs;
};
DenseShape dense_shape(nb::handle node);

// A 2-D convolution: weight shape (filters, channels, kernel height, kernel width); stride
// and padding each a pair or one number for both directions.
struct Conv2dGeometry {
  nb::object filters, channels, kernel_height, kernel_width;
  nb::object stride_height, stride_width, padding_height, padding_width;
};
Conv2dGeometry conv2d_geometry(nb::handle node);

// A 1-D convolution: weight shape (filters, channels, kernel width); stride and padding
// are single numbers.
struct Conv1dGeometry {
  nb::object filters, channels, kernel_width, stride, padding;
};
Conv1dGeometry conv1d_geometry(nb::handle node);

// 2-D pooling: kernel, stride and padding pairs; a falsy stride means the kernel size.
struct PoolingGeometry {
  nb::object kernel_height, kernel_width;
  nb::object stride_height, stride_width, padding_height, padding_width;
};
PoolingGeometry pooling_geometry(nb::handle node);

// An LIF layer as one shared time constant and threshold, from the first elements of the
// tau and v_threshold arrays.  A tau or v_threshold without the array properties raises
// AttributeError "{node}: tau must be a numpy array (got {type name})"; a tau of 0
// ZeroDivisionError "float division"; with `default_rule_only` (hls4ml's neuron model) a reset
// or fire other than the default is a ValueError (require_built_lif_rule).
struct LifSummary {
  nb::object neurons;  // first entry of tau's shape, or 1
  double threshold;
  double decay;  // 1 - 1 / tau
};
LifSummary lif_summary(nb::handle node, nb::handle name, bool default_rule_only = true);

// int(node.<attribute>): the width of batch-norm (num_features) and activation (features)
// layers.
nb::object int_attribute(nb::handle node, const char* attribute);

}  // namespace zelka::host::fpga
