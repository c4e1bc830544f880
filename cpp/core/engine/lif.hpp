// One time step of a group of leaky integrate-and-fire neurons.
#pragma once

#include <vector>

#include "core/engine/plan.hpp"

namespace zelka::engine {

// Leak toward v_leak, add the input, saturate, fire where the potential reaches the
// threshold and reset those neurons to v_leak.  Arithmetic is done in the membrane's type
// (float32 or float64) exactly as the element-wise array expression would do it.
void lif_step(std::vector<Slot>& slots, const LifArgs& args, std::int64_t& spike_total);

}  // namespace zelka::engine
