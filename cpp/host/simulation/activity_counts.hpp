// The synaptic work of a run: which layers count operations, and the counts per sample the
// steps of both paths (numpy and native) add to.
#pragma once

#include <cstdint>
#include <vector>

#include "host/simulation/native_plan.hpp"
#include "host/simulation/setup.hpp"

namespace zelka::host::simulation {

// The layers that multiply their input by weights: every Affine, and in a graph whose
// layers are computed also every SpikingAffine and convolution.  A layer is fed by spikes
// when every predecessor holds spikes or sums of them: a LIF node, an Input, or a node that
// passes such values on unchanged (Outputs, the kinds a pass-through graph passes through; in
// a computed graph Flatten, Dropout and max pooling, an OR of spikes).  Such a layer counts,
// each step, the synapses its nonzero inputs reach; any other counts its dense
// multiply-accumulates (every input value times the synapses it reaches), whatever the
// values are.  An Input counts as spikes only where its values are 0 or 1 at every step of
// every sample of the call (a stimulus of spike trains): the steps check that, and a layer
// fed so through an Input of other values counts its dense operations at every step it
// computed.
struct ActivityCounts {
  struct Layer {
    nb::object name;
    bool spike_fed = false;
    std::vector<std::size_t> stimuli;   // the checks of the Inputs its spikes come through
    std::vector<std::int64_t> fan_out;  // per input value (C order): the synapses it reaches
    std::int64_t each = 0;              // the synapses every input reaches, or 0: see fan_out
    std::int64_t dense = 0;             // the sum of fan_out: a step's multiply-accumulates
    // Per sample: the steps it computed and, fed by spikes, the synapses its inputs reached.
    std::vector<std::int64_t> steps, synapses;
  };
  // An Input a layer takes for spikes: per sample, whether a value was neither 0 nor 1 (the
  // native steps check no more once one was: the call then counts dense).
  struct Check {
    nb::object input;
    nb::object other;  // uint8 (samples,)
    std::uint8_t* out = nullptr;
  };
  std::vector<Layer> layers;
  std::vector<Check> checks;
  std::int64_t samples = 0;

  // A numpy step: the operations of node `name` on its combined input `inp` (none where the
  // node is not counted or its input does not fit its weights, which it then passes on).
  void count(nb::handle name, const nb::object& inp, std::int64_t sample);
  // A numpy step: whether Input `input`'s `value` holds spikes, where a layer takes it so.
  void check(nb::handle input, nb::handle value, std::int64_t sample) const;
  // Let a native run count and check its samples, from zero.
  void attach(NativeRun& run) const;
  // Adds what a native run counted to its samples' counts, but for those `replayed` marks
  // (per plan sample; none when empty), whose steps run again through numpy.
  void add_native(const NativeRun& run, const std::vector<bool>& replayed = {});
  // name -> (fed by spikes, counts per sample, and for a layer fed by spikes through an
  // Input that held spike trains the dense MACs it counts where that Input does not, else
  // None) for the run's result.
  nb::dict layer_counts() const;
  // The index of the check of `input`, made on first use.
  std::size_t check_of(nb::handle input);
};

// The counted layers of the setup's graph, with zero counts for `samples` samples.
ActivityCounts plan_activity(const RunSetup& setup, std::int64_t samples);

}  // namespace zelka::host::simulation
