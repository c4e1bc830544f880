// The firmware of an SNN HLS project: the top function computing one time step of the
// network and its header, and the definitions it builds on (snn_definitions.hpp).
#pragma once

#include <string>

#include "core/fpga/snn_code.hpp"

namespace zelka::fpga::snn {

// firmware/{project}.h, firmware/{project}.cpp, firmware/defines.h,
// firmware/layer_configs.h and firmware/weights/*.h.  The constants must already be on their
// types' grids (round_constants); `project` is a C++ identifier.
ProjectFiles firmware_files(const Network& network, const Plan& plan, const std::string& project);

}  // namespace zelka::fpga::snn
