// The IR node classes the FPGA configuration generator tests against, bound once when its
// module is loaded.
#pragma once

#include "host/ir_kinds.hpp"

namespace zelka::host::fpga {

// Import the classes of the kinds the configuration generator turns into layers from
// zelka.ir (the import error propagates).
void load_node_kinds();
const IrKinds& node_kinds();

}  // namespace zelka::host::fpga
