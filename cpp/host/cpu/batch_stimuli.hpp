// The stimuli of a batch: an array per Input whose first axis (after the time axis of
// stimuli given per step) is the batch, read and checked against the graph.
#pragma once

#include <cstdint>
#include <vector>

#include "host/ir_kinds.hpp"

namespace zelka::host::cpu {

struct Stimuli {
  std::vector<nb::object> keys, arrays;  // in the caller's order
  std::int64_t batch = 0;
};

// The stimuli of `input_data` (a dict; arrays (batch, *shape), or (steps, batch, *shape)
// when `per_step`): every key names an Input of the graph, every array has the batch size
// of the first and the Input's declared shape, and stimuli per step cover `steps` steps;
// ValueError naming the Input otherwise.
Stimuli read_stimuli(nb::handle graph, const IrKinds& kinds, nb::handle input_data, bool per_step,
                     std::int64_t steps);

}  // namespace zelka::host::cpu
