// One time step through numpy calls: the reference semantics of the step, used for every
// dtype and for a user-supplied saturate, and until the native plan can take over.
#pragma once

#include "host/simulation/setup.hpp"

namespace zelka::host::simulation {

// Step `step` (0-based; it selects the slice of per-step stimuli).
void generic_step(const RunSetup& setup, WorkingState& state, const StepPolicy& policy,
                  std::int64_t step);

// The total byte size of the numpy arrays among the activations (every entry counts, also
// two entries holding one array).
std::int64_t activation_bytes(const nb::dict& activations);

// A dict with a copy of every activation array (other values as they are).
nb::dict snapshot(const nb::dict& activations);

// The type, dtype and shape of every value in the state, in order: equal signatures
// before two steps mean the steps do the same operations on the same types.
nb::object signature(const WorkingState& state);

}  // namespace zelka::host::simulation
