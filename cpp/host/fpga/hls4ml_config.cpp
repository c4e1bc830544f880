#include "host/fpga/hls4ml_config.hpp"

#include "host/fpga/graph_shapes.hpp"
#include "host/fpga/layers.hpp"
#include "host/fpga/node_kinds.hpp"
#include "host/numpy.hpp"
#include "host/value_convert.hpp"

namespace zelka::host::fpga {
namespace {

// The input shape an Input node declares under input_type["input"], if it declares one:
// the integers of an array, the items of anything else as they are.
bool declared_input_shape(ValueConverter& cv, nb::handle node, value::Tuple& shape) {
  nb::object input_type = nb::getattr(node, "input_type", nb::dict());
  int has = PySequence_Contains(input_type.ptr(), nb::str("input").ptr());
  if (has < 0) throw nb::python_error();
  if (!has) return false;
  nb::object sh = getitem(input_type, nb::str("input"));
  const bool array = is_instance(sh, Numpy::get().ndarray);
  for (nb::handle d : sh)
    shape.items.push_back(array ? int_value(steal_or_raise(PyNumber_Long(d.ptr())))
                                : cv.to_value(d));
  return true;
}

}  // namespace

nb::object hls4ml_config(nb::handle graph, const ProjectSettings& s) {
  const IrKinds& k = node_kinds();
  ValueConverter cv;
  nb::object order = topological_order(graph);
  nb::dict preds = predecessor_map(graph);
  nb::object nodes = graph.attr("nodes");
  value::Map layer_names;
  value::List layers;
  value::Tuple input_shape;
  for (nb::handle name : order) {
    nb::object node = getitem(nodes, name);
    if (k.is(node, Kind::input)) {
      value::Tuple shape;
      if (declared_input_shape(cv, node, shape)) input_shape = std::move(shape);
      continue;
    }
    if (k.is(node, Kind::output)) continue;
    nb::object node_preds = preds.contains(name) ? nb::object(preds[name]) : nb::object(nb::list());
    nb::object in_shape =
        truth(node_preds) ? node_input_shape(graph, getitem(node_preds, nb::int_(0))) : nb::none();
    layers.push_back(layer_for(cv, node, name, in_shape));
    value::Map per_layer = layer_config(cv, node);
    if (!per_layer.empty()) layer_names.set(cv.to_value(name), std::move(per_layer));
  }

  value::Map model;
  model.set("Precision", cv.to_value(s.default_precision));
  model.set("ReuseFactor", cv.to_value(s.default_reuse_factor));
  model.set("Strategy", cv.to_value(s.strategy));
  value::Map hls;
  hls.set("Model", std::move(model));
  if (!layer_names.empty()) hls.set("LayerName", std::move(layer_names));

  value::Map config;
  config.set("OutputDir", cv.to_value(s.output_dir));
  config.set("ProjectName", cv.to_value(s.project_name));
  config.set("Part", cv.to_value(s.part));
  config.set("ClockPeriod", cv.to_value(s.clock_period));
  config.set("IOType", cv.to_value(s.io_type));
  config.set("Backend", "Vivado");
  config.set("PytorchModel", "__pytorch_model__");
  config.set("InputShape", std::move(input_shape.items));
  config.set("HLSConfig", std::move(hls));
  config.set("Layers", std::move(layers));
  return cv.to_python(config);
}

}  // namespace zelka::host::fpga
