// The CPU backend's simulate_batch: many samples of one graph at once, on several threads,
// with stimuli that may change every step and spike trains kept on request.
#pragma once

#include <cstdint>

#include "host/python.hpp"

namespace zelka::host::cpu {

struct BatchOptions {
  std::int64_t workers = 1;  // threads the native steps run on
  nb::list record;           // LIF node names whose spikes are kept for every step
  bool progress = false;     // show a progress bar (tqdm)
  bool activity = false;     // count synaptic operations (the result's `activity`)
};

// A BatchSimulationResult.  `input_data` is a dict (stimuli of shape (batch, *shape), the
// same every step) or a PerStep record (shape (n_steps, batch, *shape)); `n_steps` a
// Python int.  Sample i of the result is what simulate gives for sample i alone.
nb::object simulate_batch(nb::handle graph, nb::handle input_data, nb::object n_steps,
                          const BatchOptions& options);

}  // namespace zelka::host::cpu
