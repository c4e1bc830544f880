// The report of a test bench that compares LIF layers' spikes with the CPU simulator's step by
// step (the HLS project's C simulation, the Verilog design's Verilator bench), read from its
// run and turned into the dict csim and simulate_rtl return.
#pragma once

#include "core/fpga/snn_csim_report.hpp"
#include "core/tools/command.hpp"
#include "host/fpga/csim_samples.hpp"
#include "host/python.hpp"

namespace zelka::host::fpga {

// The report the test bench of `folder` printed in `run`.  RuntimeError when it is not UTF-8
// text, not in its form, or the bench's exit status does not match it (0: every step agrees,
// 1: some step differs).
zelka::fpga::snn::CsimReport read_bench_report(nb::handle folder, const tools::CommandResult& run);

// "agrees", "steps", "steps_agreeing", "step_agreement" (a bool per step), "spike_counts" and
// "reference_spike_counts" (LIF node name -> spikes over all steps), "steps_differing" (LIF
// node name -> steps in which its spikes differed) and "build_seconds" (the build's wall time,
// 0.0 when a program already built was run).
nb::dict bench_report_dict(const zelka::fpga::snn::CsimReport& report, double build_seconds);

// Adds the per-sample keys of a run on samples given as `inputs` to `result`: "samples",
// "sample_agrees", "sample_steps_agreeing", "sample_spike_counts",
// "sample_reference_spike_counts", "neuron_spike_counts" and "neuron_reference_spike_counts".
void add_sample_results(nb::dict result, const zelka::fpga::snn::CsimReport& report,
                        const SampleReference& reference);

}  // namespace zelka::host::fpga
