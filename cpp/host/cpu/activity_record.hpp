// The Activity record of a run (zelka.activity.Activity) from its counted layers' operations
// and its spike totals.
#pragma once

#include "host/python.hpp"
#include "host/simulation/activity_counts.hpp"

namespace zelka::host::cpu {

// `nodes` is the graph's nodes, `spike_counts` the run's (LIF name -> total, or an array of
// totals per sample), `n_steps` the steps run.
nb::object activity_record(nb::handle nodes, const simulation::ActivityCounts& counts,
                           nb::handle spike_counts, nb::handle n_steps);

}  // namespace zelka::host::cpu
