#include "host/cpu/activity_record.hpp"

namespace zelka::host::cpu {

nb::object activity_record(nb::handle nodes, const simulation::ActivityCounts& counts,
                           nb::handle spike_counts, nb::handle n_steps) {
  return imported("zelka.activity")
      .attr("Activity")
      .attr("_from_counts")(nodes, counts.layer_counts(), spike_counts, n_steps,
                            nb::int_(counts.samples));
}

}  // namespace zelka::host::cpu
