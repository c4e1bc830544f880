// Turning the state of a call, once its step signature is steady, into a native Plan, and
// writing the native results back into that state.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "core/engine/plan.hpp"
#include "host/simulation/setup.hpp"

namespace zelka::host::simulation {

struct NativeRun {
  engine::Plan plan;
  // Activation keys in their dict order, each with its slot and, for a value that never
  // changes (a caller's stimulus, an Input's zero vector), the object itself.
  struct Key {
    nb::object key;
    int slot;
    nb::object constant;
  };
  std::vector<Key> keys;
  std::vector<std::vector<std::int64_t>> shapes;  // per slot
  struct Membrane {
    nb::object name;
    int slot;
  };
  std::vector<Membrane> membranes;
  std::vector<nb::object> counted;                // LIF names, by spike counter index
  std::vector<nb::object> timed_names;            // node names, by index into plan.node_ns
  std::vector<nb::object> keep_alive;             // arrays whose buffers the plan borrows
  std::shared_ptr<const ComputedGraph> computed;  // the layers the plan's instructions run
};

// The plan for running further steps natively, for the samples whose states are given
// (sample_ids: their index among the run's samples, for stimuli given per step; all
// states of one type/shape signature), or nothing when some value or node falls outside
// what the native kernels compute exactly (the numpy path then goes on).
std::optional<std::unique_ptr<NativeRun>> plan_native(const RunSetup& setup,
                                                      const std::vector<WorkingState*>& states,
                                                      const std::vector<std::int64_t>& sample_ids);

// The plan for running a call natively from its very first step, for `samples` samples
// (setup.sample alone when it is 1) whose stimuli are the setup's: input_data shared by
// all, sample_inputs by row, step_inputs by step and row.  `initial` is the state the call
// starts with (no activations; float32 zero membranes).  Nothing when step 1 does not
// compute what later steps compute (a node reading a value made after it in the step, a
// membrane that changes type while leaking toward a nonzero value) or when some value or
// node falls outside what the native kernels compute exactly; the call then takes its first
// steps through numpy.
std::optional<std::unique_ptr<NativeRun>> plan_first_step(const RunSetup& setup,
                                                          const WorkingState& initial,
                                                          std::int64_t samples,
                                                          bool fill_missing_inputs);

// The slot holding an activation key's value, or -1.
int activation_slot(const NativeRun& run, nb::handle key);

// A new array holding a slot's value for one sample at one step.
nb::object slot_value(const NativeRun& run, int slot, std::int64_t sample, std::int64_t step);

// A new array (samples, *shape) holding a slot's value for every sample of the run at one
// step.
nb::object slot_rows(const NativeRun& run, int slot, std::int64_t step);

// Store a single-sample run's values after step `last_step` back into the state's dicts
// (keys keep their order; a run planned from the first step adds them in the order step 1
// makes them).
// With `only`, just those activation keys are written, and no membrane.
void write_back(NativeRun& run, WorkingState& state, std::int64_t last_step,
                const std::vector<nb::object>* only = nullptr);

// The total byte size of the activations a native step leaves (every key counts, also
// two keys holding one value).
std::int64_t native_activation_bytes(const NativeRun& run);

// A dict with a copy of every activation after step `step`, in key order.
nb::dict native_snapshot(const NativeRun& run, std::int64_t step);

}  // namespace zelka::host::simulation
