#include "host/fpga/node_kinds.hpp"

namespace zelka::host::fpga {
namespace {

// Lives as long as the process: the module that loads it is never unloaded.
const IrKinds* kinds = nullptr;

}  // namespace

void load_node_kinds() {
  kinds = new IrKinds(IrKinds::load({Kind::affine, Kind::avg_pool2d, Kind::batch_norm1d,
                                     Kind::batch_norm2d, Kind::conv1d, Kind::conv2d, Kind::flatten,
                                     Kind::input, Kind::lif, Kind::max_pool2d, Kind::output,
                                     Kind::relu, Kind::sigmoid, Kind::spiking_affine}));
}

const IrKinds& node_kinds() {
  return *kinds;
}

}  // namespace zelka::host::fpga
