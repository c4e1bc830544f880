// zelka.backend.fpga.cfgsmith: an IR graph as an hls4ml configuration map and as the text
// of the HLS header parameters.h.
#include <nanobind/nanobind.h>

#include "core/fpga/boards.hpp"
#include "core/fpga/defaults.hpp"
#include "host/args.hpp"
#include "host/fpga/graph_shapes.hpp"
#include "host/fpga/hls4ml_config.hpp"
#include "host/fpga/layers.hpp"
#include "host/fpga/node_kinds.hpp"
#include "host/fpga/parameters_blocks.hpp"
#include "host/fpga/project_settings.hpp"
#include "host/numpy.hpp"
#include "host/value_convert.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka;
using namespace zelka::host;
using namespace zelka::host::fpga;

namespace {

void require_tuple_or_none(nb::handle value, const char* name) {
  if (!value.is_none() && !PyTuple_Check(value.ptr())) raise_argument_type(name, "tuple", value);
}

nb::object ir_to_hls4ml_config(nb::handle graph, nb::handle output_dir, nb::handle project_name,
                               nb::handle part, nb::handle clock_period, nb::handle io_type,
                               nb::handle default_precision, nb::handle default_reuse_factor,
                               nb::handle strategy) {
  return hls4ml_config(
      graph, checked_project_settings(output_dir, project_name, part, clock_period, io_type,
                                      default_precision, default_reuse_factor, strategy));
}

nb::object generate_parameters_h(nb::handle graph, nb::handle default_precision,
                                 nb::handle default_reuse_factor_arg, nb::handle io_type) {
  require_str(default_precision, "default_precision");
  nb::object default_reuse_factor = int_argument(default_reuse_factor_arg, "default_reuse_factor");
  require_str(io_type, "io_type");
  const std::string text = parameters_h(graph, {default_precision, default_reuse_factor, io_type});
  return nb::str(text.data(), text.size());
}

// Wrap an extractor taking (node, name) with the name check and the conversion back.
template <Map (*Extract)(ValueConverter&, nb::handle, nb::handle)>
nb::object extractor(nb::handle node, nb::handle name) {
  require_str(name, "name");
  ValueConverter cv;
  return cv.to_python(Extract(cv, node, name));
}

}  // namespace

NB_MODULE(cfgsmith, m) {
  Numpy::load();
  register_core_exceptions();
  load_node_kinds();

  m.def("ir_to_hls4ml_config", &ir_to_hls4ml_config, "graph"_a.none(),
        "output_dir"_a.none() = "hls4ml_project", "project_name"_a.none() = "myproject",
        "part"_a.none() = zelka::fpga::default_part.data(),
        "clock_period"_a.none() = zelka::fpga::default_clock_period_ns,
        "io_type"_a.none() = "io_stream",
        "default_precision"_a.none() = zelka::fpga::default_precision,
        "default_reuse_factor"_a.none() = 1, "strategy"_a.none() = "Latency",
        "The hls4ml configuration of `graph`: project settings, model-wide and per-layer HLS\n"
        "settings and one layer description per computing node, in execution order.");
  m.def("generate_parameters_h", &generate_parameters_h, "graph"_a.none(),
        "default_precision"_a.none() = zelka::fpga::default_precision,
        "default_reuse_factor"_a.none() = 1, "io_type"_a.none() = "io_parallel",
        "The text of the HLS header parameters.h for `graph`: one configuration struct per\n"
        "computing node, numbered in execution order.");

  m.def("_topological_order", &topological_order, "graph"_a.none());
  m.def(
      "_node_input_shape",
      [](nb::handle, nb::handle name, nb::handle pred_name, nb::handle graph) {
        require_str(name, "name");
        require_str(pred_name, "pred_name");
        return node_input_shape(graph, pred_name);
      },
      "node"_a.none(), "name"_a.none(), "pred_name"_a.none(), "graph"_a.none());
  m.def(
      "_node_output_size",
      [](nb::handle node, nb::handle name, nb::handle prev_shape) {
        require_str(name, "name");
        require_tuple_or_none(prev_shape, "prev_shape");
        return node_output_size(node, prev_shape);
      },
      "node"_a.none(), "name"_a.none(), "prev_shape"_a.none());
  m.def("_layer_from_conv2d", &extractor<layer_from_conv2d>, "node"_a.none(), "name"_a.none());
  m.def("_layer_from_conv1d", &extractor<layer_from_conv1d>, "node"_a.none(), "name"_a.none());
  m.def("_layer_from_affine", &extractor<layer_from_affine>, "node"_a.none(), "name"_a.none());
  m.def("_layer_from_lif", &extractor<layer_from_lif>, "node"_a.none(), "name"_a.none());
  m.def("_layer_from_maxpool2d", &extractor<layer_from_maxpool2d>, "node"_a.none(),
        "name"_a.none());
  m.def("_layer_from_avgpool2d", &extractor<layer_from_avgpool2d>, "node"_a.none(),
        "name"_a.none());
  m.def("_layer_from_batchnorm2d", &extractor<layer_from_batchnorm2d>, "node"_a.none(),
        "name"_a.none());
  m.def("_layer_from_relu", &extractor<layer_from_relu>, "node"_a.none(), "name"_a.none());
  m.def("_layer_from_sigmoid", &extractor<layer_from_sigmoid>, "node"_a.none(), "name"_a.none());
  m.def(
      "_layer_from_flatten",
      [](nb::handle node, nb::handle name, nb::handle in_shape) {
        require_str(name, "name");
        require_tuple_or_none(in_shape, "in_shape");
        ValueConverter cv;
        return cv.to_python(layer_from_flatten(cv, node, name, in_shape));
      },
      "node"_a.none(), "name"_a.none(), "in_shape"_a.none());
  m.def(
      "_extract_precision_dict",
      [](nb::handle node) {
        ValueConverter cv;
        return cv.to_python(precision_dict(cv, node));
      },
      "node"_a.none());
  m.def(
      "_layer_config",
      [](nb::handle node, nb::handle name, nb::handle layer_dict) {
        require_str(name, "name");
        if (!PyDict_Check(layer_dict.ptr())) raise_argument_type("layer_dict", "dict", layer_dict);
        ValueConverter cv;
        return cv.to_python(layer_config(cv, node));
      },
      "node"_a.none(), "name"_a.none(), "layer_dict"_a.none());
}
