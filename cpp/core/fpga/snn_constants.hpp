// The constants of an SNN project on the grids of their fixed-point types: stimulus values,
// weights, biases, decays, thresholds and rest values are each rounded to the nearest value
// their type holds (past its range, to the range's end), so that the generated code states
// them exactly.
#pragma once

#include <string>
#include <vector>

#include "core/fpga/snn_network.hpp"

namespace zelka::fpga::snn {

// Rounds every constant of `network` in place and returns one warning text per array that
// the rounding changed: "{node}: {what} rounded to {type}: {k} of {n} values changed, the
// largest by {change} (at {index}, {value} became {rounded})".  A type wider than a double
// holds exactly is zelka::ValueError naming the node.
std::vector<std::string> round_constants(Network& network);

}  // namespace zelka::fpga::snn
