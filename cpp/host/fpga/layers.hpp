// hls4ml layer descriptions of IR nodes, and the per-layer settings hls4ml reads as
// overrides.  Each reads node attributes only and returns a new ordered map.
#pragma once

#include "core/value/value.hpp"
#include "host/python.hpp"
#include "host/value_convert.hpp"

namespace zelka::host::fpga {

using value::Map;

Map layer_from_conv2d(ValueConverter& cv, nb::handle node, nb::handle name);
Map layer_from_conv1d(ValueConverter& cv, nb::handle node, nb::handle name);
Map layer_from_affine(ValueConverter& cv, nb::handle node, nb::handle name);
Map layer_from_lif(ValueConverter& cv, nb::handle node, nb::handle name);
Map layer_from_maxpool2d(ValueConverter& cv, nb::handle node, nb::handle name);
Map layer_from_avgpool2d(ValueConverter& cv, nb::handle node, nb::handle name);
Map layer_from_batchnorm2d(ValueConverter& cv, nb::handle node, nb::handle name);
Map layer_from_relu(ValueConverter& cv, nb::handle node, nb::handle name);
Map layer_from_sigmoid(ValueConverter& cv, nb::handle node, nb::handle name);
Map layer_from_flatten(ValueConverter& cv, nb::handle node, nb::handle name, nb::handle in_shape);

// The description of any computing node by its kind; ValueError
// "Unsupported node type for hls4ml: {class name}" for kinds hls4ml has no layer for.
Map layer_for(ValueConverter& cv, nb::handle node, nb::handle name, nb::handle in_shape);

// {"weight": weight_t, "bias": bias_t, "accum": accum_t, "result": result_t}, set ones only.
Map precision_dict(ValueConverter& cv, nb::handle node);

// The node's per-layer overrides: "Precision" (when set) and "ReuseFactor" (when set).
Map layer_config(ValueConverter& cv, nb::handle node);

}  // namespace zelka::host::fpga
