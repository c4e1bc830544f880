#include "core/fpga/snn_definitions.hpp"

#include "core/fpga/snn_fixed_types.hpp"
#include "core/text/number_format.hpp"
#include "core/text/template.hpp"

namespace zelka::fpga::snn {
namespace {

// The texts of the definitions, with «placeholders» that text::fill replaces; the parts that
// repeat (per layer) have templates of their own, filled in a loop and joined into a
// placeholder of the file's template.

// --- firmware/defines.h: the types ------------------------------------------------------

constexpr std::string_view defines_header =
    R"(// The types of the values the top function computes with.
#ifndef DEFINES_H_
#define DEFINES_H_

#include "ap_fixed.h"
#include "ap_int.h"

// Values of the network's inputs (the graph's Input nodes).
typedef «input_t» input_t;
// Spikes: 1 where a neuron fired.
typedef ap_uint<1> spike_t;
// LIF membrane potentials, thresholds and rest values.
typedef «membrane_t» membrane_t;
// LIF decay factors, 1 - 1/tau.
typedef «decay_t» decay_t;
«dense_types»«sum_types»
#endif
)";

constexpr std::string_view dense_types = "// Outputs of the dense layers.\n«typedefs»";

constexpr std::string_view sum_types =
    "// Sums of several inputs, wide enough to hold them exactly.\n«typedefs»";

constexpr std::string_view node_typedef = "typedef «type» «name»;  // «node»\n";

// --- firmware/layer_configs.h: the layers' configurations ------------------------------

constexpr std::string_view layer_configs_header =
    R"(// The configurations of the top function's layers: parameters.h's dense-layer
// configurations made usable with nnet::dense, and one per LIF layer.
#ifndef LAYER_CONFIGS_H_
#define LAYER_CONFIGS_H_

#include "defines.h"
#include "nnet_utils/dense_adapter.h"
#include "nnet_utils/lif_neurons.h"
#include "parameters.h"
«configs»
#endif
)";

constexpr std::string_view dense_config = R"(
// «description»
typedef nnet::dense_adapter<config«k», «strategy»> layer«k»_config;
)";

constexpr std::string_view lif_config = R"(
// «description»: «neurons» neurons fed by «inputs» values.  parameters.h's config«k» states the first neuron's
// threshold and leak only; every neuron's decay, threshold and rest value are in
// weights/decay«k».h, threshold«k».h and rest«k».h.
struct layer«k»_config {
  static const unsigned n_in = «inputs»;
  static const unsigned n_out = «neurons»;
  static const unsigned reuse_factor = «reuse_factor»;
  static const unsigned multiplier_limit = DIV_ROUNDUP(n_out, reuse_factor);
  static const nnet::lif_reset_rule reset = «reset»;
  static const bool fire_above = «fire_above»;
};
)";

// The reset rules as nnet::lif_neurons names them, in the order of rules::LifReset.
constexpr std::string_view reset_rule_names[] = {
    "nnet::lif_reset_to_rest", "nnet::lif_reset_subtract", "nnet::lif_reset_none"};

// --- firmware/weights/*.h: a layer's constants -----------------------------------------

constexpr std::string_view constants_header = R"(// «comment»
#ifndef «guard»
#define «guard»

«array»
#endif
)";

constexpr std::string_view constant_array = R"(«declaration»[«count»] = {«values»
};
)";

constexpr std::string_view latency_weight_layout =
    "input-major for the latency kernel: w«k»[i * «outputs» + o] = weight[o, i]";

constexpr std::string_view resource_weight_layout =
    "output-major for the resource kernel: w«k»[o * «inputs» + i] = weight[o, i]";

std::string defines_text(const Network& net, const Plan& plan) {
  std::string dense, sums;
  for (std::size_t i = 0; i < net.nodes.size(); ++i) {
    const Node& node = net.nodes[i];
    if (!is_evaluated(plan, i)) continue;
    const std::string name = text::comment_safe(node.name);
    if (node.kind == NodeKind::dense)
      dense += text::fill(node_typedef, {{"type", node.result_type.name()},
                                         {"name", "layer" + layer_number(node) + "_t"},
                                         {"node", name}});
    if (node.kind != NodeKind::output && plan.nodes[i].reads.size() > 1)
      sums += text::fill(node_typedef, {{"type", plan.nodes[i].sum_type.name()},
                                        {"name", "layer" + layer_number(node) + "_sum_t"},
                                        {"node", name}});
  }
  return text::fill(
      defines_header,
      {{"input_t", net.input_type.name()},
       {"membrane_t", net.membrane_type.name()},
       {"decay_t", decay_type(net.membrane_type).name()},
       {"dense_types", dense.empty() ? "" : text::fill(dense_types, {{"typedefs", dense}})},
       {"sum_types", sums.empty() ? "" : text::fill(sum_types, {{"typedefs", sums}})}});
}

std::string layer_configs_text(const Network& net, const Plan& plan) {
  const std::string strategy =
      net.strategy == Strategy::latency ? "nnet::latency" : "nnet::resource";
  std::string configs;
  for (std::size_t i = 0; i < net.nodes.size(); ++i) {
    const Node& node = net.nodes[i];
    if (!is_evaluated(plan, i)) continue;
    if (node.kind == NodeKind::dense)
      configs += text::fill(
          dense_config,
          {{"description", described(node)}, {"k", layer_number(node)}, {"strategy", strategy}});
    if (node.kind == NodeKind::lif) {
      const std::size_t inputs = element_count(plan.nodes[plan.nodes[i].reads.front().node].shape);
      configs += text::fill(
          lif_config,
          {{"description", described(node)},
           {"k", layer_number(node)},
           {"neurons", std::to_string(node.neurons)},
           {"inputs", std::to_string(inputs)},
           {"reuse_factor", std::to_string(node.reuse_factor)},
           {"reset", std::string(reset_rule_names[static_cast<std::size_t>(node.reset)])},
           {"fire_above", node.fire == rules::LifFire::above ? "true" : "false"}});
    }
  }
  return text::fill(layer_configs_header, {{"configs", configs}});
}

void add_constants_header(ProjectFiles& out, const std::string& file, const std::string& comment,
                          const std::string& declaration, const std::vector<double>& values) {
  out.emplace_back(
      "firmware/weights/" + file + ".h",
      text::fill(constants_header, {{"comment", comment},
                                    {"guard", include_guard(file)},
                                    {"array", array_definition(declaration, values)}}));
}

// A dense layer's weight (in the layout of the strategy's kernel) and bias, an LIF layer's
// decay, threshold and rest value of each neuron.
void add_constants(const Network& net, const Node& node, ProjectFiles& out) {
  const std::string k = layer_number(node), name = described(node);
  if (node.kind == NodeKind::dense) {
    std::vector<double> laid_out = node.weight;
    std::string layout =
        text::fill(resource_weight_layout, {{"k", k}, {"inputs", std::to_string(node.n_in)}});
    if (net.strategy == Strategy::latency) {
      for (std::size_t o = 0; o < node.n_out; ++o)
        for (std::size_t i = 0; i < node.n_in; ++i)
          laid_out[i * node.n_out + o] = node.weight[o * node.n_in + i];
      layout =
          text::fill(latency_weight_layout, {{"k", k}, {"outputs", std::to_string(node.n_out)}});
    }
    add_constants_header(out, "w" + k, name + ": weight, " + layout,
                         "config" + k + "::weight_t w" + k, laid_out);
    add_constants_header(out, "b" + k, name + ": bias", "config" + k + "::bias_t b" + k, node.bias);
  } else if (node.kind == NodeKind::lif) {
    add_constants_header(out, "decay" + k, name + ": decay 1 - 1/tau of each neuron",
                         "decay_t decay" + k, node.decay);
    add_constants_header(out, "threshold" + k, name + ": threshold of each neuron",
                         "membrane_t threshold" + k, node.threshold);
    add_constants_header(out, "rest" + k, name + ": rest value (v_leak) of each neuron",
                         "membrane_t rest" + k, node.rest);
  }
}

}  // namespace

ProjectFiles definition_files(const Network& net, const Plan& plan) {
  ProjectFiles out{{"firmware/defines.h", defines_text(net, plan)},
                   {"firmware/layer_configs.h", layer_configs_text(net, plan)}};
  for (std::size_t i = 0; i < net.nodes.size(); ++i)
    if (is_evaluated(plan, i)) add_constants(net, net.nodes[i], out);
  return out;
}

std::string array_definition(const std::string& declaration, const std::vector<double>& values) {
  std::string listed;
  for (std::size_t i = 0; i < values.size(); ++i) {
    listed += i % 8 == 0 ? "\n    " : " ";
    listed += text::float_repr(values[i]) + (i + 1 < values.size() ? "," : "");
  }
  return text::fill(
      constant_array,
      {{"declaration", declaration}, {"count", std::to_string(values.size())}, {"values", listed}});
}

}  // namespace zelka::fpga::snn
