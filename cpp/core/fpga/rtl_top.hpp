// The top module of a generated design: the controller of its schedule (rtl_controller.hpp),
// the memories of the node values, the alignment and sums of what each unit reads, the units,
// and the host's ports (stimulus in, outputs out, spikes as they are computed).
#pragma once

#include <string>

#include "core/fpga/rtl_design.hpp"

namespace zelka::fpga::rtl {

// rtl/{project}.v.  `project` is a Verilog identifier.
std::string top_module(const snn::Network& network, const Design& design,
                       const std::string& project);

// The widths of the top module's ports that the test bench drives or reads.
struct PortWidths {
  int word = 1, lane = 1, input_port = 1, input_value = 1, layer = 1;
};
PortWidths port_widths(const snn::Network& network, const Design& design);

// The memory files a dense layer's unit and the LIF engine read: "w{N}.mem", "b{N}.mem" (N
// the layer's number, as the HLS project numbers it) and "lif.mem".
std::string weights_file(const snn::Node& node);
std::string biases_file(const snn::Node& node);
inline constexpr const char* lif_constants_file = "lif.mem";

}  // namespace zelka::fpga::rtl
