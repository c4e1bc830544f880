// What a plan's steps count of a run's activity (count_activity and check_spikes,
// core/engine/activity.hpp): per counted layer and plan sample, totals that each step adds
// to, so that counting costs a few adds per step and no memory that grows with the steps.
#pragma once

#include <cstdint>
#include <vector>

namespace zelka::engine {

// One counted layer of a plan.  Each step it computes adds one to `steps` of every sample
// and, for a layer fed by spikes, the synapses its nonzero inputs reach to `synapses`
// (`each` apiece, or where `each` is 0 fan_out[i] for input i; synapses_reached reads them);
// a layer fed by other values performs its dense multiply-accumulates at every such step,
// whatever its input holds.  Both totals are per plan sample (its index in the plan, not its
// row) and start at zero: the caller adds them to the call's counts once the run has
// succeeded.
struct ActivityCount {
  int node = -1;  // Instruction::node of the layer's compute
  bool spike_fed = false;
  std::int64_t inputs = 0;
  std::int64_t each = 0;
  const std::int64_t* fan_out = nullptr;
  // SpikeCheck::other of the stimuli its spikes come through: a sample one of them marked
  // counts dense (as the whole run will), its input no longer scanned.
  std::vector<const std::uint8_t*> stimuli;
  // A layer whose input is the spike vector of a LIF computed before it in every step: that
  // LIF's counter (LifArgs::counter), whose growth since the run started (from first_totals,
  // per sample) is the number of nonzero inputs the layer's steps read, so that its steps
  // scan nothing; or -1, and each step scans the input.
  int counter = -1;
  std::vector<std::int64_t> first_totals;
  std::vector<std::int64_t> steps;
  std::vector<std::int64_t> synapses;
};

// A stimulus that counted layers take for spikes: other[row] is set once a value of sample
// `row` (Plan::sample_rows) is neither 0 nor 1 (once one sample is marked, the call counts
// dense and the samples that run with it are not checked further).
struct SpikeCheck {
  int slot = -1;
  std::uint8_t* other = nullptr;
};

}  // namespace zelka::engine
