#include "host/cpu/activity_record.hpp"

namespace zelka::host::cpu {

nb::object activity_record(nb::handle nodes, const simulation::ActivityCounts& counts,
                           nb::handle spike_counts, nb::handle n_steps) {
  return imported("zelka.activity")
      .attr("Activity")
      .attr("_from_counts")(nodes, counts.layer_counts(), spike_counts, n_steps,
                            nb::int_(counts.samples));
}

SampleActivity::SampleActivity(const simulation::RunSetup& setup, simulation::LoopOptions& options)
    : counts_(simulation::plan_activity(setup, 1)) {
  recorder_.samples = 1;
  recorder_.activity = &counts_;
  options.recorder = &recorder_;
  options.policy.activity = &counts_;
}

}  // namespace zelka::host::cpu
