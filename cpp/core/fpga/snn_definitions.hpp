// The definitions an SNN project's top function builds on: the types of its values
// (firmware/defines.h), its layers' configurations on parameters.h's
// (firmware/layer_configs.h) and the layers' constants as C arrays (firmware/weights/*.h).
#pragma once

#include <string>
#include <vector>

#include "core/fpga/snn_code.hpp"

namespace zelka::fpga::snn {

// firmware/defines.h, firmware/layer_configs.h and the weights/*.h of every evaluated layer,
// in the network's order.  The constants must already be on their types' grids
// (round_constants).
ProjectFiles definition_files(const Network& network, const Plan& plan);

// The C++ definition of a constant array: `declaration` ("membrane_t rest2"), the count and
// the values as Python writes them, eight a line.
std::string array_definition(const std::string& declaration, const std::vector<double>& values);

}  // namespace zelka::fpga::snn
