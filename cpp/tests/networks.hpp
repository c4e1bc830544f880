// Small spiking networks built directly as the SNN project's network model, for the tests of
// the HLS and Verilog generators.
#pragma once

#include <string>
#include <vector>

#include "core/fpga/snn_network.hpp"

namespace zelka::testing {

namespace snn = zelka::fpga::snn;

inline numeric::FixedType fixed(int width, int integer_bits, std::string modes = "") {
  return {true, width, integer_bits, std::move(modes), false};
}

// A node of `kind` named as the graph's `class_name` node `name`, reading `predecessors`.
inline snn::Node node_of(snn::NodeKind kind, std::string class_name, std::string name,
                         std::vector<std::size_t> predecessors = {}, int config = 0) {
  snn::Node node;
  node.kind = kind;
  node.label = class_name + " node '" + name + "'";
  node.class_name = std::move(class_name);
  node.name = std::move(name);
  node.predecessors = std::move(predecessors);
  node.config_index = config;
  return node;
}

inline snn::Node input_node(std::string name, std::vector<double> stimulus) {
  snn::Node node = node_of(snn::NodeKind::input, "Input", std::move(name));
  node.stimulus_shape = {stimulus.size()};
  node.stimulus = std::move(stimulus);
  return node;
}

// A dense layer of weight[o * n_in + i] = weight[o][i], every type ap_fixed<16,6>.
inline snn::Node dense_node(std::string name, int config, std::vector<std::size_t> predecessors,
                            const std::vector<std::vector<double>>& weight,
                            std::vector<double> bias) {
  snn::Node node =
      node_of(snn::NodeKind::dense, "Affine", std::move(name), std::move(predecessors), config);
  node.n_out = weight.size();
  node.n_in = weight.front().size();
  for (const auto& row : weight) node.weight.insert(node.weight.end(), row.begin(), row.end());
  node.bias = std::move(bias);
  node.weight_type = node.bias_type = node.accum_type = node.result_type = fixed(16, 6);
  return node;
}

inline snn::Node lif_node(std::string name, int config, std::vector<std::size_t> predecessors,
                          std::size_t neurons) {
  snn::Node node =
      node_of(snn::NodeKind::lif, "LIF", std::move(name), std::move(predecessors), config);
  node.neurons = neurons;
  node.decay.assign(neurons, 0.5);
  node.threshold.assign(neurons, 1.0);
  node.rest.assign(neurons, 0.0);
  return node;
}

inline snn::Node output_node(std::string name, std::vector<std::size_t> predecessors) {
  return node_of(snn::NodeKind::output, "Output", std::move(name), std::move(predecessors));
}

inline snn::Network network_of(std::vector<snn::Node> nodes,
                               snn::Strategy strategy = snn::Strategy::latency) {
  snn::Network net;
  net.nodes = std::move(nodes);
  net.input_type = fixed(16, 6);
  net.membrane_type = fixed(26, 8, "AP_RND_CONV,AP_SAT");
  net.strategy = strategy;
  return net;
}

// x (3 values) -> fc -> lif -> y, with lif's spikes of the previous step added to fc's input.
inline snn::Network recurrent_network() {
  return network_of({input_node("x", {1, 0.5, 0.25}),
                     dense_node("fc", 1, {0, 2}, {{1, 0, 0}, {0, 1, 0}, {0, 0.5, 1}}, {0, 0, 0}),
                     lif_node("lif", 2, {1}, 3), output_node("y", {2})});
}

}  // namespace zelka::testing
