// zelka.backend.fpga.cfgsmith: an IR graph as an hls4ml configuration map and as the text
// of the HLS header parameters.h.
#include <nanobind/nanobind.h>

#include "core/fpga/parameters_header.hpp"
#include "core/text/number_format.hpp"
#include "host/args.hpp"
#include "host/fpga/graph_shapes.hpp"
#include "host/fpga/layers.hpp"
#include "host/fpga/node_kinds.hpp"
#include "host/numpy.hpp"
#include "host/value_convert.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka;
using namespace zelka::host;
using namespace zelka::host::fpga;

namespace {

void require_str_or_none(nb::handle value, const char* name) {
  if (!value.is_none()) require_str(value, name);
}

void require_tuple_or_none(nb::handle value, const char* name) {
  if (!value.is_none() && !PyTuple_Check(value.ptr())) raise_argument_type(name, "tuple", value);
}

nb::object convert(const value::Map& m, const ValueConverter& cv) {
  return cv.to_python(m);
}

nb::object ir_to_hls4ml_config(nb::handle graph, nb::handle output_dir, nb::handle project_name,
                               nb::handle part, nb::handle clock_period_arg, nb::handle io_type,
                               nb::handle default_precision, nb::handle default_reuse_factor_arg,
                               nb::handle strategy) {
  require_str(output_dir, "output_dir");
  require_str(project_name, "project_name");
  require_str(part, "part");
  nb::object clock_period = int_argument(clock_period_arg, "clock_period");
  require_str(io_type, "io_type");
  require_str(default_precision, "default_precision");
  nb::object default_reuse_factor = int_argument(default_reuse_factor_arg, "default_reuse_factor");
  require_str(strategy, "strategy");

  const IrKinds& k = node_kinds();
  ValueConverter cv;
  nb::object order = topological_order(graph);
  nb::dict preds = predecessor_map(graph);
  nb::object nodes = graph.attr("nodes");
  value::Map layer_names;
  value::List layers;
  value::Value input_shape = value::Null{};
  for (nb::handle name : order) {
    nb::object node = getitem(nodes, name);
    if (k.is(node, Kind::input)) {
      nb::object input_type = nb::getattr(node, "input_type", nb::dict());
      int has = PySequence_Contains(input_type.ptr(), nb::str("input").ptr());
      if (has < 0) throw nb::python_error();
      if (has) {
        nb::object sh = getitem(input_type, nb::str("input"));
        value::Tuple shape;
        if (is_instance(sh, Numpy::get().ndarray)) {
          for (nb::handle d : sh)
            shape.items.push_back(cv.to_value(steal_or_raise(PyNumber_Long(d.ptr()))));
        } else {
          for (nb::handle d : sh) shape.items.push_back(cv.to_value(d));
        }
        input_shape = std::move(shape);
      }
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
  model.set("Precision", cv.to_value(default_precision));
  model.set("ReuseFactor", cv.to_value(default_reuse_factor));
  model.set("Strategy", cv.to_value(strategy));
  value::Map hls;
  hls.set("Model", std::move(model));
  if (!layer_names.empty()) hls.set("LayerName", std::move(layer_names));

  value::List shape_list;
  if (input_shape.is<value::Tuple>()) shape_list = input_shape.as<value::Tuple>().items;

  value::Map config;
  config.set("OutputDir", cv.to_value(output_dir));
  config.set("ProjectName", cv.to_value(project_name));
  config.set("Part", cv.to_value(part));
  config.set("ClockPeriod", cv.to_value(clock_period));
  config.set("IOType", cv.to_value(io_type));
  config.set("Backend", "Vivado");
  config.set("PytorchModel", "__pytorch_model__");
  config.set("InputShape", std::move(shape_list));
  config.set("HLSConfig", std::move(hls));
  config.set("Layers", std::move(layers));
  return convert(config, cv);
}

// An attribute of the node when present and truthy, else the fallback.
std::string attribute_or(nb::handle node, const char* attr, const std::string& fallback) {
  nb::object v = nb::getattr(node, attr, nb::none());
  return truth(v) ? str_text(v) : fallback;
}

nb::object generate_parameters_h(nb::handle graph, nb::handle default_precision_arg,
                                 nb::handle default_reuse_factor_arg, nb::handle io_type_arg) {
  require_str(default_precision_arg, "default_precision");
  nb::object default_reuse_factor = int_argument(default_reuse_factor_arg, "default_reuse_factor");
  require_str(io_type_arg, "io_type");
  const std::string default_precision = utf8(default_precision_arg);
  const std::string io_enum =
      utf8(io_type_arg) == "io_parallel" ? "nnet::io_parallel" : "nnet::io_stream";
  const std::string default_rf = str_text(default_reuse_factor);

  const IrKinds& k = node_kinds();
  nb::object order = topological_order(graph);
  nb::object nodes = graph.attr("nodes");
  std::vector<zelka::fpga::HeaderBlock> blocks;
  int idx = 0;
  for (nb::handle name : order) {
    nb::object node = getitem(nodes, name);
    if (k.is(node, Kind::input) || k.is(node, Kind::output)) continue;
    ++idx;
    const std::string weight_t = attribute_or(node, "weight_t", default_precision);
    const std::string bias_t = attribute_or(node, "bias_t", "model_default_t");
    const std::string accum_t = attribute_or(node, "accum_t", default_precision);
    const std::string rf = attribute_or(node, "reuse_factor", default_rf);
    zelka::fpga::HeaderBlock block;
    text::Fields& f = block.fields;
    f = {{"idx", std::to_string(idx)}, {"name", str_text(name)}};
    if (k.is(node, Kind::affine) || k.is(node, Kind::spiking_affine)) {
      nb::object weight = node.attr("weight");
      auto shape = unpack(weight.attr("shape"), 2, UnpackWording::counted);
      nb::object nonzeros = nb::module_::import_("numpy").attr("count_nonzero")(weight);
      block.kind = zelka::fpga::BlockKind::dense;
      f.insert(f.end(), {{"n_in", str_text(shape[1])},
                         {"n_out", str_text(shape[0])},
                         {"io_enum", io_enum},
                         {"rf", rf},
                         {"nz", str_text(steal_or_raise(PyNumber_Long(nonzeros.ptr())))},
                         {"accum_t", accum_t},
                         {"bias_t", bias_t},
                         {"weight_t", weight_t}});
    } else if (k.is(node, Kind::conv2d)) {
      auto shape = unpack(node.attr("weight").attr("shape"), 4, UnpackWording::counted);
      auto [sh, sw] = pair_or_scalar(node.attr("stride"));
      auto [ph, pw] = pair_or_scalar(node.attr("padding"));
      block.kind = zelka::fpga::BlockKind::conv2d;
      f.insert(f.end(), {{"c_out", str_text(shape[0])},
                         {"c_in", str_text(shape[1])},
                         {"kh", str_text(shape[2])},
                         {"kw", str_text(shape[3])},
                         {"sh", str_text(sh)},
                         {"sw", str_text(sw)},
                         {"ph", str_text(ph)},
                         {"pw", str_text(pw)},
                         {"rf", rf},
                         {"accum_t", accum_t},
                         {"bias_t", bias_t},
                         {"weight_t", weight_t}});
    } else if (k.is(node, Kind::lif)) {
      const LifSummary s = summarise_lif(node);
      block.kind = zelka::fpga::BlockKind::lif;
      f.insert(f.end(), {{"n", str_text(s.neurons)},
                         {"v_th", text::float_repr(s.threshold)},
                         {"decay6", text::fixed(s.decay, 6)}});
    } else if (k.is(node, Kind::max_pool2d) || k.is(node, Kind::avg_pool2d)) {
      nb::object kernel = node.attr("kernel_size");
      auto kh_kw = unpack(kernel, 2, UnpackWording::counted);
      nb::object stride = node.attr("stride");
      auto s = unpack(truth(stride) ? stride : kernel, 2, UnpackWording::counted);
      auto p = unpack(node.attr("padding"), 2, UnpackWording::counted);
      block.kind = zelka::fpga::BlockKind::pooling;
      f.insert(f.end(), {{"kh", str_text(kh_kw[0])},
                         {"kw", str_text(kh_kw[1])},
                         {"sh", str_text(s[0])},
                         {"sw", str_text(s[1])},
                         {"ph", str_text(p[0])},
                         {"pw", str_text(p[1])},
                         {"pool_op", k.is(node, Kind::max_pool2d) ? "Max" : "Average"}});
    } else if (k.is(node, Kind::batch_norm1d) || k.is(node, Kind::batch_norm2d)) {
      block.kind = zelka::fpga::BlockKind::batchnorm;
      f.insert(f.end(),
               {{"n", str_text(steal_or_raise(PyNumber_Long(node.attr("num_features").ptr())))},
                {"io_enum", io_enum},
                {"rf", rf},
                {"bias_t", bias_t},
                {"weight_t", weight_t}});
    } else if (k.is(node, Kind::relu) || k.is(node, Kind::sigmoid)) {
      block.kind = zelka::fpga::BlockKind::activation;
      f.insert(f.end(),
               {{"n", str_text(steal_or_raise(PyNumber_Long(node.attr("features").ptr())))}});
    } else {
      block.kind = zelka::fpga::BlockKind::skipped;
      f.insert(f.end(), {{"class_name", type_name_of(node)}});
    }
    blocks.push_back(std::move(block));
  }
  const std::string text = zelka::fpga::render_parameters_header(default_precision, blocks);
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
        "part"_a.none() = "xczu9eg-ffvb1156-2-i", "clock_period"_a.none() = 5,
        "io_type"_a.none() = "io_stream", "default_precision"_a.none() = "ap_fixed<16,6>",
        "default_reuse_factor"_a.none() = 1, "strategy"_a.none() = "Latency",
        "The hls4ml configuration of `graph`: project settings, model-wide and per-layer HLS\n"
        "settings and one layer description per computing node, in execution order.");
  m.def("generate_parameters_h", &generate_parameters_h, "graph"_a.none(),
        "default_precision"_a.none() = "ap_fixed<16,6>", "default_reuse_factor"_a.none() = 1,
        "io_type"_a.none() = "io_parallel",
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
