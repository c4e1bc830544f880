// Element-wise kernels that move and sum activations.
#pragma once

#include <cstdint>

#include "core/engine/plan.hpp"

namespace zelka::engine {

// dst = src converted to dst's type.
void convert_into(const Slot& src, Slot& dst);

// dst = the predecessors combined as `args` says (see CombineMode).
void combine_into(const std::vector<Slot>& slots, const CombineArgs& args, Slot& dst);

}  // namespace zelka::engine
