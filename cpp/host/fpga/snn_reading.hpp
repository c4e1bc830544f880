// A graph read as the spiking-network writers (the HLS project and the Verilog design) build
// it: the network model, its plan, and its constants on their types' grids.
#pragma once

#include "core/fpga/snn_network.hpp"
#include "host/fpga/snn_graph.hpp"

namespace zelka::host::fpga {

struct PlannedNetwork {
  zelka::fpga::snn::Network network;
  zelka::fpga::snn::Plan plan;
};

// The network of `graph` (read_network) and its plan.  ValueError when the graph has no LIF
// node (the test benches compare LIF layers' spikes) or an LIF node's name holds a control
// character (their reports carry the names a line each).
PlannedNetwork planned_network(nb::handle graph, nb::handle input_data,
                               const NetworkSettings& settings);

// The network's constants rounded onto their types (once the types are final), with a
// warnings.warn for each array that changed.
void round_constants_with_warnings(zelka::fpga::snn::Network& network);

}  // namespace zelka::host::fpga
