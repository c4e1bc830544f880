// The Activity record of a run (zelka.activity.Activity) from its counted layers' operations
// and its spike totals, and the counting of a one-sample run that makes one.
#pragma once

#include "host/python.hpp"
#include "host/simulation/activity_counts.hpp"
#include "host/simulation/step_loop.hpp"

namespace zelka::host::cpu {

// `nodes` is the graph's nodes, `spike_counts` the run's (LIF name -> total, or an array of
// totals per sample), `n_steps` the steps run.
nb::object activity_record(nb::handle nodes, const simulation::ActivityCounts& counts,
                           nb::handle spike_counts, nb::handle n_steps);

// The counted layers of a run of one sample (simulate, and run's one timed run), counted by
// the steps of the loop whose options it is given.
class SampleActivity {
 public:
  SampleActivity(const simulation::RunSetup& setup, simulation::LoopOptions& options);
  SampleActivity(const SampleActivity&) = delete;
  SampleActivity& operator=(const SampleActivity&) = delete;

  // The record of the run, once it has succeeded.
  nb::object record(nb::handle nodes, nb::handle spike_counts, nb::handle n_steps) const {
    return activity_record(nodes, counts_, spike_counts, n_steps);
  }

 private:
  simulation::ActivityCounts counts_;
  simulation::StepRecorder recorder_;
};

}  // namespace zelka::host::cpu
