// One time step of a group of leaky integrate-and-fire neurons.
#pragma once

#include "core/engine/plan.hpp"

namespace zelka::engine {

// Leak toward v_leak, add the input, saturate, fire where the potential reaches the
// threshold and reset those neurons to v_leak.  Arithmetic is done in the membrane's type
// (float32 or float64) exactly as the element-wise array expression would do it.
// Returns how many neurons fired.
std::int64_t lif_step(const Frame& frame, const LifArgs& args);

}  // namespace zelka::engine
