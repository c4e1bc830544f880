// C simulation of an SNN HLS project: its firmware and test bench built with g++ against the
// headers copied into it (once for each state of its sources), the test bench run on the
// stimulus written with the project, and its report read.
#pragma once

#include <chrono>
#include <optional>

#include "host/python.hpp"

namespace zelka::host::fpga {

// How long the g++ build and the test bench's run may take; none: without limit.
struct CsimLimits {
  std::optional<std::chrono::nanoseconds> build, run;
};

// A dict: "agrees" (every step agreed), "steps", "steps_agreeing", "step_agreement" (a bool
// per step), "spike_counts" and "reference_spike_counts" (LIF node name -> spikes over all
// steps in the C simulation and in the CPU simulator), "steps_differing" (LIF node name ->
// steps in which its spikes differed) and "build_seconds" (the g++ build's wall time, 0.0 when
// the program the project keeps was built from its current sources).
// RuntimeError when g++ is not on the PATH, the build fails or the test bench does not report
// in its form; TimeoutError when the build or the run outlasts its limit (g++ or the test
// bench and whatever they started are then killed); ValueError when `project_dir` holds no SNN
// project.  Ctrl-C stops g++ or the test bench the same way.
nb::dict csim(nb::handle project_dir, const CsimLimits& limits);

}  // namespace zelka::host::fpga
