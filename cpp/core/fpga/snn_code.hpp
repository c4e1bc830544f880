// What the generated files of an SNN HLS project share: the list of files, and the names the
// code gives the network's layers, types, headers and the top function's ports.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/fpga/snn_network.hpp"

namespace zelka::fpga::snn {

// Relative path (below the project folder) and text of each generated file.
using ProjectFiles = std::vector<std::pair<std::string, std::string>>;

// The top function's array arguments, in order: one per Input node, then one per Output
// node (each in execution order).  `name` is a C++ identifier made from the node's name
// with "_in" or "_out" appended.
struct Port {
  std::size_t node;
  std::string name;
  std::size_t size;
  std::string type;
};
std::vector<Port> top_ports(const Network& network, const Plan& plan);

// The number of a node's layer: parameters.h's config{N}, and the code's layer{N}_... names.
std::string layer_number(const Node& node);

// The member of the spike probe that holds an LIF node's spikes: "layer{N}".
std::string probe_member(const Node& node);

// The name of the type of a node's value: "input_t", "spike_t", "layer{N}_t" for dense
// layers, "layer{N}_sum_t" for sums, or that of the one node a node passes on.
std::string value_type_name(const Network& network, const Plan& plan, std::size_t node);

// Whether the code evaluates the node: some step after a reset gives it a value.
bool is_evaluated(const Plan& plan, std::size_t node);

// Whether a pass-through node needs no array of its own: it reads one node from this step and
// no node reads it from the previous step, so its value is that node's.
bool is_alias(const Network& network, const Plan& plan, std::size_t node);

// The count of values of a shape.
std::size_t element_count(const Shape& shape);

// "name (Kind)", for comments.
std::string described(const Node& node);

// The include guard of header `name`: "DEFINES_H_" for "defines".
std::string include_guard(const std::string& name);

}  // namespace zelka::fpga::snn
