// The time loop shared by simulate and profile: numpy steps until the step signature is
// steady, then the native engine for the remaining steps.
#pragma once

#include <cfenv>
#include <cstdint>
#include <vector>

#include "host/simulation/activity_counts.hpp"
#include "host/simulation/native_plan.hpp"
#include "host/simulation/setup.hpp"

namespace zelka::host::simulation {

// Values kept for every step, per recorded LIF node a C-ordered array (step, sample,
// neuron): its spike trains (one byte, 1 where the neuron fired) and its membrane
// potentials after the step (float64, which holds the values of either type exactly).
struct StepRecorder {
  struct Train {
    nb::object name;
    std::uint8_t* out;
    std::int64_t neurons;
  };
  struct Membranes {
    nb::object name;
    double* out;
    std::int64_t neurons;
  };
  std::vector<Train> trains;
  std::vector<Membranes> membranes;
  std::int64_t steps = 0;    // steps the arrays hold
  std::int64_t samples = 0;  // samples the arrays hold
  // Counted layers whose operations a native run counts for the same samples, or null.
  ActivityCounts* activity = nullptr;

  // Keep a sample's values of a numpy step from its activations and membranes.
  void record(const WorkingState& state, std::int64_t step, std::int64_t sample) const;
  // Let a native run keep the values of its samples (their rows given by sample_ids).
  void attach(NativeRun& run, const std::vector<std::int64_t>& sample_ids) const;
};

struct LoopOptions {
  StepPolicy policy;
  nb::list* snapshots = nullptr;  // receives a copy of the activations after each step
  const StepRecorder* recorder = nullptr;
  std::int64_t steps_done = 0;  // steps the state has been through already
  // Try a native run from the first step (a sample replayed through numpy does not).
  bool native_from_start = true;
  // When set, the only activations the caller reads after the run: a native run writes
  // back these keys alone, and no membrane.
  const std::vector<nb::object>* read_after = nullptr;
};

// Run the state on to `n_steps` steps in all.
void run_step_loop(const RunSetup& setup, WorkingState& state, std::int64_t n_steps,
                   const LoopOptions& options);

// A step count as a Python int of any size, as the loop runs it: negative counts run no
// step; counts beyond 64 bits run until the host interrupts them.
std::int64_t steps_to_run(nb::handle n_steps);

// The floating-point exception flags numpy has error modes for (inexact results it ignores).
inline constexpr int numpy_fp_flags = FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID;

// The floating-point exception flags numpy would report under its current error state
// (np.geterr(): "ignore" categories are left out).
int reported_fp_flags();

}  // namespace zelka::host::simulation
