// zelka.backend.fpga.rtl.simulate_rtl: a Verilog design's test bench built with Verilator and
// run, and its report read.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "host/python.hpp"

namespace zelka::host::fpga {

struct RtlSimulationSettings {
  std::optional<std::chrono::nanoseconds> build, run;  // none: without limit
  std::int64_t runs = 1;  // times each sample's steps run, each run started with a clear
};

// A dict with csim's keys ("agrees", "steps", "steps_agreeing", "step_agreement",
// "spike_counts", "reference_spike_counts", "steps_differing", "build_seconds") and
// "cycles_per_step" (the mean clock cycles of a step, measured) and "step_cycles" (those of
// every step).  RuntimeError when Verilator or a program its build runs is missing (before
// anything is built), the build fails or the test bench does not report in its form; TimeoutError
// when the build or the run outlasts its limit (Verilator or the test bench and whatever they
// started are then killed); ValueError when `project_dir` holds no design.  Ctrl-C stops either the
// same way.
// `inputs` (None: the stimulus written with the design) are samples as csim takes them, run for
// `n_steps` (None or an int) and reported per sample as csim reports them (add_sample_results).
// The Verilator program is kept in the project's verilated/ folder under the digest of the
// Verilator command, rtl/ and the test bench source, and built again only when they change
// ("build_seconds" 0.0 otherwise).
nb::dict simulate_rtl(nb::handle project_dir, nb::handle inputs, nb::handle n_steps,
                      const RtlSimulationSettings& settings);

}  // namespace zelka::host::fpga
