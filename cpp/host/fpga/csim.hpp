// C simulation of an SNN HLS project: its firmware and test bench built with g++ against the
// headers copied into it (once for each state of its sources), the test bench run on the
// stimulus written with the project or on samples given now, and its report read.
#pragma once

#include <chrono>
#include <optional>

#include "host/python.hpp"

namespace zelka::host::fpga {

// How long the g++ build and the test bench's run may take; none: without limit.
struct CsimLimits {
  std::optional<std::chrono::nanoseconds> build, run;
};

// A dict: "agrees" (every step of every sample agreed), "steps", "steps_agreeing" (steps at
// which every sample agreed), "step_agreement" (a bool per step: every sample agreed),
// "spike_counts" and "reference_spike_counts" (LIF node name -> spikes over all steps and
// samples in the C simulation and in the CPU simulator), "steps_differing" (LIF node name ->
// steps at which its spikes differed in some sample) and "build_seconds" (the g++ build's wall
// time, 0.0 when the program the project keeps was built from its current sources).
//
// `inputs` None runs the stimulus written with the project (`n_steps` must be None).  Else it is
// a dict from Input name to samples (batch, *shape), or a PerStep of arrays (steps, batch,
// *shape), run for `n_steps` (None: the project's steps, or the arrays' first axis), and the
// dict also holds "samples", "sample_agrees", "sample_steps_agreeing" (arrays (batch,)),
// "sample_spike_counts" and "sample_reference_spike_counts" (LIF node name -> int64 array
// (batch,)) and "neuron_spike_counts" and "neuron_reference_spike_counts" (LIF node name ->
// int64 array (batch, neurons)); the reference is the CPU backend's simulate_batch on the graph
// stored with the project.
//
// RuntimeError when g++ is not on the PATH, the build fails or the test bench does not report
// in its form; TimeoutError when the build or the run outlasts its limit (g++ or the test bench
// and whatever they started are then killed); ValueError when `project_dir` holds no SNN
// project, or for inputs that do not fit it or a stored graph that is missing or changed.
// Ctrl-C stops g++ or the test bench the same way.
nb::dict csim(nb::handle project_dir, nb::handle inputs, nb::handle n_steps,
              const CsimLimits& limits);

}  // namespace zelka::host::fpga
