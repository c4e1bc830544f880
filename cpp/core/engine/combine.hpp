// Element-wise kernels that move and sum activations, one sample at a time.
#pragma once

#include "core/engine/plan.hpp"

namespace zelka::engine {

// dst = src converted to dst's type.
void convert_into(const Frame& frame, int src, int dst);

// dst = the predecessors combined as `args` says (see CombineMode).
void combine_into(const Frame& frame, const CombineArgs& args, int dst);

}  // namespace zelka::engine
