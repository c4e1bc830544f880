// The native time loop: runs a Plan's program once per step, instruction by instruction,
// each instruction for every sample of the range in turn.
#pragma once

#include <cstdint>

#include "core/engine/plan.hpp"

namespace zelka::engine {

// What the caller of the loop observes between steps.
class StepObserver {
 public:
  virtual ~StepObserver() = default;
  // Called after every step with the number of steps completed in this run.  Returning
  // false stops the loop (for example when the host asks to interrupt).
  virtual bool after_step(const Plan& plan, std::int64_t completed) = 0;
  // Whether after_step reads the slots' values: every value must then be written at every
  // step, none left to a reader that consumes it in the same pass (AffineArgs::bias_in_reader).
  virtual bool reads_values() const { return false; }
};

// The samples one call of the loop runs (threads run disjoint ranges of one plan at once)
// and the index of its first step among all the run's steps (per-step stimuli are read,
// and recordings written, at that index).
struct StepRange {
  std::int64_t first_sample = 0;
  std::int64_t end_sample = 1;
  std::int64_t first_step = 0;
};

// Run `steps` steps.  Static instructions run in the first of them at index 1 or later
// only (in steps 0 and 1 when the run starts at step 0); products run row by row in step 0.  With
// `time_nodes`, the monotonic-clock time of every instruction that is a node's compute is
// added to that node's entry of plan.node_ns.  Every slot holds its value of the last step
// completed when the loop returns.  Returns the number of steps completed.
std::int64_t run_steps(Plan& plan, std::int64_t steps, const StepRange& range,
                       StepObserver& observer, bool time_nodes);

}  // namespace zelka::engine
