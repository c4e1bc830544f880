// The time loop shared by simulate and profile: numpy steps until the step signature is
// steady, then the native engine for the remaining steps.
#pragma once

#include <cstdint>

#include "host/simulation/setup.hpp"

namespace zelka::host::simulation {

struct LoopOptions {
  StepPolicy policy;
  nb::list* snapshots = nullptr;  // receives a copy of the activations after each step
};

void run_step_loop(const RunSetup& setup, WorkingState& state, std::int64_t n_steps,
                   const LoopOptions& options);

// A step count as a Python int of any size, as the loop runs it: negative counts run no
// step; counts beyond 64 bits run until the host interrupts them.
std::int64_t steps_to_run(nb::handle n_steps);

// The package's own saturate, which the native kernels implement.
bool is_native_saturate(nb::handle saturate);

}  // namespace zelka::host::simulation
