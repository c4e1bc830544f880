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
#include "host/python_types.hpp"
#include "host/typed_function.hpp"
#include "host/value_convert.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka;
using namespace zelka::host;
using namespace zelka::host::fpga;
namespace py = zelka::host::python_type;

namespace {

void require_tuple_or_none(nb::handle value, const char* name) {
  if (!value.is_none() && !PyTuple_Check(value.ptr())) raise_argument_type(name, "tuple", value);
}

Returns<py::Dict> ir_to_hls4ml_config(Arg<py::Graph> graph, Arg<py::Str> output_dir,
                                      Arg<py::Str> project_name, Arg<py::Str> part,
                                      Arg<py::Float> clock_period, Arg<py::Str> io_type,
                                      Arg<py::Str> default_precision,
                                      Arg<py::Int> default_reuse_factor, Arg<py::Str> strategy) {
  return hls4ml_config(
      graph, checked_project_settings(output_dir, project_name, part, clock_period, io_type,
                                      default_precision, default_reuse_factor, strategy));
}

Returns<py::Str> generate_parameters_h(Arg<py::Graph> graph, Arg<py::Str> default_precision,
                                       Arg<py::Int> default_reuse_factor_arg,
                                       Arg<py::Str> io_type) {
  require_str(default_precision, "default_precision");
  nb::object default_reuse_factor = int_argument(default_reuse_factor_arg, "default_reuse_factor");
  require_str(io_type, "io_type");
  const std::string text = parameters_h(graph, {default_precision, default_reuse_factor, io_type});
  return nb::str(text.data(), text.size());
}

// Wrap an extractor taking (node, name) with the name check and the conversion back.
template <Map (*Extract)(ValueConverter&, nb::handle, nb::handle)>
Returns<py::Dict> extractor(Arg<py::Node> node, Arg<py::Str> name) {
  require_str(name, "name");
  ValueConverter cv;
  return cv.to_python(Extract(cv, node, name));
}

}  // namespace

NB_MODULE(cfgsmith, m) {
  Numpy::load();
  register_core_exceptions();
  load_node_kinds();

  def_typed(m, "ir_to_hls4ml_config", &ir_to_hls4ml_config, "graph"_a,
            "output_dir"_a = "hls4ml_project", "project_name"_a = "myproject",
            "part"_a = zelka::fpga::default_part.data(),
            "clock_period"_a = zelka::fpga::default_clock_period_ns, "io_type"_a = "io_stream",
            "default_precision"_a = zelka::fpga::default_precision, "default_reuse_factor"_a = 1,
            "strategy"_a = "Latency",
            "The hls4ml configuration of `graph`: project settings, model-wide and per-layer HLS\n"
            "settings and one layer description per computing node, in execution order.");
  def_typed(m, "generate_parameters_h", &generate_parameters_h, "graph"_a,
            "default_precision"_a = zelka::fpga::default_precision, "default_reuse_factor"_a = 1,
            "io_type"_a = "io_parallel",
            "The text of the HLS header parameters.h for `graph`: one configuration struct per\n"
            "computing node, numbered in execution order.");

  def_typed(
      m, "_topological_order", [](Arg<py::Graph> graph) { return topological_order(graph); },
      "graph"_a);
  def_typed(
      m, "_node_input_shape",
      [](Arg<py::Node>, Arg<py::Str> name, Arg<py::Str> pred_name, Arg<py::Graph> graph) {
        require_str(name, "name");
        require_str(pred_name, "pred_name");
        return node_input_shape(graph, pred_name);
      },
      "node"_a, "name"_a, "pred_name"_a, "graph"_a);
  def_typed(
      m, "_node_output_size",
      [](Arg<py::Node> node, Arg<py::Str> name, Arg<py::ShapeOrNone> prev_shape) {
        require_str(name, "name");
        require_tuple_or_none(prev_shape, "prev_shape");
        return node_output_size(node, prev_shape);
      },
      "node"_a, "name"_a, "prev_shape"_a);
  def_typed(m, "_layer_from_conv2d", &extractor<layer_from_conv2d>, "node"_a, "name"_a);
  def_typed(m, "_layer_from_conv1d", &extractor<layer_from_conv1d>, "node"_a, "name"_a);
  def_typed(m, "_layer_from_affine", &extractor<layer_from_affine>, "node"_a, "name"_a);
  def_typed(m, "_layer_from_lif", &extractor<layer_from_lif>, "node"_a, "name"_a);
  def_typed(m, "_layer_from_maxpool2d", &extractor<layer_from_maxpool2d>, "node"_a, "name"_a);
  def_typed(m, "_layer_from_avgpool2d", &extractor<layer_from_avgpool2d>, "node"_a, "name"_a);
  def_typed(m, "_layer_from_batchnorm2d", &extractor<layer_from_batchnorm2d>, "node"_a, "name"_a);
  def_typed(m, "_layer_from_relu", &extractor<layer_from_relu>, "node"_a, "name"_a);
  def_typed(m, "_layer_from_sigmoid", &extractor<layer_from_sigmoid>, "node"_a, "name"_a);
  def_typed(
      m, "_layer_from_flatten",
      [](Arg<py::Node> node, Arg<py::Str> name,
         Arg<py::ShapeOrNone> in_shape) -> Returns<py::Dict> {
        require_str(name, "name");
        require_tuple_or_none(in_shape, "in_shape");
        ValueConverter cv;
        return cv.to_python(layer_from_flatten(cv, node, name, in_shape));
      },
      "node"_a, "name"_a, "in_shape"_a);
  def_typed(
      m, "_extract_precision_dict",
      [](Arg<py::Node> node) -> Returns<py::Dict> {
        ValueConverter cv;
        return cv.to_python(precision_dict(cv, node));
      },
      "node"_a);
  def_typed(
      m, "_layer_config",
      [](Arg<py::Node> node, Arg<py::Str> name, Arg<py::Dict> layer_dict) -> Returns<py::Dict> {
        require_str(name, "name");
        if (!PyDict_Check(layer_dict.ptr())) raise_argument_type("layer_dict", "dict", layer_dict);
        ValueConverter cv;
        return cv.to_python(layer_config(cv, node));
      },
      "node"_a, "name"_a, "layer_dict"_a);
}
