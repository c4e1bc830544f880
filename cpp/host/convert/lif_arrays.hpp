// The LIF constants of a converted layer, computed over float32 arrays.
#pragma once

#include "host/python.hpp"

namespace zelka::host::convert {

// The time constants (a new float32 array) whose simulator decays equal `decays` (a 1-D
// float32 array) to the bit.  ValueError naming `layer` (text), the first neuron that has
// none and its decay.
nb::object time_constants_for_decays(nb::handle decays, nb::handle layer);

// The thresholds (a new float32 array) at which the simulator's `>=` fires exactly where a
// float32 membrane exceeds `strict_thresholds` (a 1-D float32 array).
nb::object inclusive_thresholds(nb::handle strict_thresholds);

}  // namespace zelka::host::convert
