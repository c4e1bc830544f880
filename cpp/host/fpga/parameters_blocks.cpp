#include "host/fpga/parameters_blocks.hpp"

#include <cmath>

#include "core/fpga/parameters_header.hpp"
#include "core/text/template.hpp"
#include "host/fpga/graph_shapes.hpp"
#include "host/fpga/node_attributes.hpp"
#include "host/fpga/node_kinds.hpp"
#include "host/numpy.hpp"

namespace zelka::host::fpga {
namespace {

using zelka::fpga::BlockKind;
using zelka::fpga::FloatDigits;
using zelka::fpga::HeaderBlock;

// Text written into the header as code must not change the header's lines (a line break
// or another control character) nor read as other characters (a trigraph, replaced in C++14).
// The rule a text breaks, or nullptr.
const char* broken_code_rule(const std::string& text) {
  if (text::has_control_character(text))
    return " must be text without line breaks or other control characters (got ";
  if (text::has_trigraph(text))
    return " must be text without trigraphs such as '?\?/', which C++14 compilers read as "
           "other characters (got ";
  return nullptr;
}

// A per-node setting of the header: the node's attribute when present and truthy, else a
// fallback text (value then null).
struct NodeSetting {
  nb::object value;
  std::string text;
};

NodeSetting node_setting(nb::handle node, const char* attribute, const std::string& fallback) {
  nb::object v = nb::getattr(node, attribute, nb::none());
  if (truth(v)) return {v, str_text(v)};
  return {nb::object(), fallback};
}

// One computing node as its block is written: its settings and the checks on its texts.
struct NodeContext {
  nb::handle node, name;
  const std::string& io_enum;
  NodeSetting weight_t, bias_t, accum_t, reuse_factor;
  bool any_lif_rule;

  // str(value), written as code: it must keep to broken_code_rule's rules.
  std::string code(nb::handle value, const char* what) const {
    std::string text = str_text(value);
    require_code(text, value, what);
    return text;
  }

  std::string code(const NodeSetting& setting, const char* what) const {
    if (setting.value.is_valid()) require_code(setting.text, setting.value, what);
    return setting.text;
  }

  void require_code(const std::string& text, nb::handle value, const char* what) const {
    const char* rule = broken_code_rule(text);
    if (!rule) return;
    const std::string message =
        node_label(node, name) + ": " + what + rule + repr_text(value) + ")";
    throw nb::value_error(message.c_str());
  }

  std::string float_constant(double x, FloatDigits digits, const char* what) const {
    if (std::isnan(x)) {
      const std::string message =
          node_label(node, name) + ": " + what + " is NaN, which parameters.h cannot hold";
      throw nb::value_error(message.c_str());
    }
    return zelka::fpga::float_constant(x, digits);
  }
};

std::string int_text(nb::handle x) {
  return str_text(steal_or_raise(PyNumber_Long(x.ptr())));
}

HeaderBlock dense_block(const NodeContext& c) {
  const DenseShape d = dense_shape(c.node);
  nb::object nonzeros = Numpy::get().count_nonzero(d.weight);
  return {BlockKind::dense,
          {{"n_in", c.code(d.inputs, "weight shape")},
           {"n_out", c.code(d.outputs, "weight shape")},
           {"io_enum", c.io_enum},
           {"rf", c.code(c.reuse_factor, "reuse_factor")},
           {"nz", int_text(nonzeros)},
           {"accum_t", c.code(c.accum_t, "accum_t")},
           {"bias_t", c.code(c.bias_t, "bias_t")},
           {"weight_t", c.code(c.weight_t, "weight_t")}}};
}

HeaderBlock conv2d_block(const NodeContext& c) {
  const Conv2dGeometry g = conv2d_geometry(c.node);
  return {BlockKind::conv2d,
          {{"c_out", c.code(g.filters, "weight shape")},
           {"c_in", c.code(g.channels, "weight shape")},
           {"kh", c.code(g.kernel_height, "weight shape")},
           {"kw", c.code(g.kernel_width, "weight shape")},
           {"sh", c.code(g.stride_height, "stride")},
           {"sw", c.code(g.stride_width, "stride")},
           {"ph", c.code(g.padding_height, "padding")},
           {"pw", c.code(g.padding_width, "padding")},
           {"rf", c.code(c.reuse_factor, "reuse_factor")},
           {"accum_t", c.code(c.accum_t, "accum_t")},
           {"bias_t", c.code(c.bias_t, "bias_t")},
           {"weight_t", c.code(c.weight_t, "weight_t")}}};
}

HeaderBlock lif_block(const NodeContext& c) {
  const LifSummary s = lif_summary(c.node, c.name, !c.any_lif_rule);
  HeaderBlock block{BlockKind::lif,
                    {{"n", c.code(s.neurons, "tau shape")},
                     {"v_th", c.float_constant(s.threshold, FloatDigits::shortest, "threshold")},
                     {"decay6", c.float_constant(s.decay, FloatDigits::six_decimals, "leak")}}};
  block.uses_numeric_limits = std::isinf(s.threshold) || std::isinf(s.decay);
  return block;
}

HeaderBlock pooling_block(const NodeContext& c, const char* pool_op) {
  const PoolingGeometry g = pooling_geometry(c.node);
  return {BlockKind::pooling,
          {{"kh", c.code(g.kernel_height, "kernel_size")},
           {"kw", c.code(g.kernel_width, "kernel_size")},
           {"sh", c.code(g.stride_height, "stride")},
           {"sw", c.code(g.stride_width, "stride")},
           {"ph", c.code(g.padding_height, "padding")},
           {"pw", c.code(g.padding_width, "padding")},
           {"pool_op", pool_op}}};
}

HeaderBlock batchnorm_block(const NodeContext& c) {
  return {BlockKind::batchnorm,
          {{"n", str_text(int_attribute(c.node, "num_features"))},
           {"io_enum", c.io_enum},
           {"rf", c.code(c.reuse_factor, "reuse_factor")},
           {"bias_t", c.code(c.bias_t, "bias_t")},
           {"weight_t", c.code(c.weight_t, "weight_t")}}};
}

HeaderBlock activation_block(const NodeContext& c) {
  return {BlockKind::activation, {{"n", str_text(int_attribute(c.node, "features"))}}};
}

HeaderBlock block_for(const NodeContext& c) {
  const IrKinds& k = node_kinds();
  if (k.is(c.node, Kind::affine) || k.is(c.node, Kind::spiking_affine)) return dense_block(c);
  if (k.is(c.node, Kind::conv2d)) return conv2d_block(c);
  if (k.is(c.node, Kind::lif)) return lif_block(c);
  if (k.is(c.node, Kind::max_pool2d)) return pooling_block(c, "Max");
  if (k.is(c.node, Kind::avg_pool2d)) return pooling_block(c, "Average");
  if (k.is(c.node, Kind::batch_norm1d) || k.is(c.node, Kind::batch_norm2d))
    return batchnorm_block(c);
  if (k.is(c.node, Kind::relu) || k.is(c.node, Kind::sigmoid)) return activation_block(c);
  return {BlockKind::skipped, {{"class_name", type_name_of(c.node)}}};
}

}  // namespace

std::string parameters_h(nb::handle graph, const ParametersSettings& settings) {
  const std::string default_precision = utf8(settings.default_precision);
  if (const char* rule = broken_code_rule(default_precision)) {
    const std::string message = std::string("Argument 'default_precision'") + rule +
                                repr_text(settings.default_precision) + ")";
    throw nb::value_error(message.c_str());
  }
  const std::string io_enum =
      utf8(settings.io_type) == "io_parallel" ? "nnet::io_parallel" : "nnet::io_stream";
  const std::string default_rf = str_text(settings.default_reuse_factor);

  const IrKinds& k = node_kinds();
  nb::object order = topological_order(graph);
  nb::object nodes = graph.attr("nodes");
  std::vector<HeaderBlock> blocks;
  int idx = 0;
  for (nb::handle name : order) {
    nb::object node = getitem(nodes, name);
    if (k.is(node, Kind::input) || k.is(node, Kind::output)) continue;
    ++idx;
    const NodeContext context{node,
                              name,
                              io_enum,
                              node_setting(node, "weight_t", default_precision),
                              node_setting(node, "bias_t", "model_default_t"),
                              node_setting(node, "accum_t", default_precision),
                              node_setting(node, "reuse_factor", default_rf),
                              settings.any_lif_rule};
    std::string name_text = str_text(name);
    HeaderBlock block = block_for(context);
    block.fields.emplace_back("idx", std::to_string(idx));
    block.fields.emplace_back("name", std::move(name_text));
    blocks.push_back(std::move(block));
  }
  return zelka::fpga::render_parameters_header(default_precision, blocks);
}

}  // namespace zelka::host::fpga
