// The firmware of an SNN HLS project: the top function computing one time step of the
// network, its header, the types, the layer configurations built on parameters.h, and the
// constants as C arrays.
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

// firmware/{project}.h, firmware/{project}.cpp, firmware/defines.h,
// firmware/layer_configs.h and firmware/weights/*.h.  The constants must already be on their
// types' grids (round_constants); `project` is a C++ identifier.
ProjectFiles firmware_files(const Network& network, const Plan& plan, const std::string& project);

// The member of the spike probe that holds an LIF node's spikes: "layer{configN}".
std::string probe_member(const Node& node);

}  // namespace zelka::fpga::snn
