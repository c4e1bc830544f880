// zelka.backend.fpga.rtl.write_rtl_project: the Verilog design of a spiking network, built
// on the network model and plan the HLS project uses, with its memory files, a Verilator test
// bench that checks it against the CPU simulator and a Yosys script per target, written all
// or nothing.
#pragma once

#include "host/python.hpp"

namespace zelka::host::fpga {

// The arguments, their types already checked: str output_dir (a path argument made str),
// project_name, precision and target; membrane_precision str or None; input_data dict,
// PerStep or None; calibration and dense_parallelism as the caller gave them; int parallelism
// and n_steps.
struct RtlProjectArguments {
  nb::object output_dir, project_name, precision, membrane_precision, input_data, target;
  nb::object parallelism, n_steps, calibration, dense_parallelism;
  bool overlap = true;
};

// Writes the design and returns a dict: "written_files", "precision", "membrane_precision",
// "layer_types", "steps" and "reference_spike_counts" as write_snn_project's (its types chosen
// by the same rule with precision or membrane_precision "auto", on `calibration`), and
// "cycles_per_step_estimate" (the mean clock cycles of the reference's steps, from the units'
// timing and the reference's spikes) and "schedule" ("overlapped" or "sequential").  The graph is
// stored with the design (graph.zelka), as simulate_rtl's test sets read it. Rounding that changes
// a constant, and weights that need more block RAM than the target has, are reported with
// warnings.warn; every error comes before the first file is written.
nb::dict write_rtl_project(nb::handle graph, const RtlProjectArguments& arguments);

}  // namespace zelka::host::fpga
