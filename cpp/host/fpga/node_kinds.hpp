// The IR node classes the FPGA configuration generator tests against, bound once when its
// module is loaded.
#pragma once

#include "host/python.hpp"

namespace zelka::host::fpga {

struct NodeKinds {
  nb::object affine, avg_pool2d, batch_norm1d, batch_norm2d, conv1d, conv2d, flatten, input, lif,
      max_pool2d, output, relu, sigmoid, spiking_affine;
};

// Import the fourteen classes from zelka.ir (the import error propagates).
void load_node_kinds();
const NodeKinds& node_kinds();

}  // namespace zelka::host::fpga
