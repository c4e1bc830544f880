#include "host/fpga/node_kinds.hpp"

namespace zelka::host::fpga {
namespace {

// Lives as long as the process: the module that loads it is never unloaded.
const IrKinds* kinds = nullptr;

}  // namespace

void load_node_kinds() {
  static constexpr auto taken = zelka::ir::kinds_taken_by<zelka::ir::fpga_layer>();
  kinds = new IrKinds(IrKinds::load(taken));
}

const IrKinds& node_kinds() {
  return *kinds;
}

}  // namespace zelka::host::fpga
