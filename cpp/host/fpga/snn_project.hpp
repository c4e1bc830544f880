// HlsBridge.write_snn_project: an HLS project whose top function computes one time step of
// a spiking network, with a test bench that checks its C simulation against the CPU
// simulator, written all or nothing.
#pragma once

#include "host/python.hpp"

namespace zelka::host::fpga {

// The arguments, their types already checked: str output_dir (a path argument made str),
// project_name, precision, strategy and board; membrane_precision str or None; input_data dict or
// None; calibration as the caller gave it; int reuse_factor and n_steps; float clock_period
// (read by clock_period_argument).
struct SnnProjectArguments {
  nb::object output_dir, project_name, precision, membrane_precision, strategy, input_data, board;
  nb::object reuse_factor, n_steps, clock_period, calibration;
};

// Writes the project and returns a dict: "written_files" (the paths, in writing order),
// "precision" and "membrane_precision" (the input and membrane types used), "layer_types" (node
// name -> the types of each dense and LIF layer), "steps" (the test bench's step count) and
// "reference_spike_counts" (LIF node name -> the CPU simulator's spikes over those steps).
// precision "auto" and membrane_precision "auto" (or None with precision "auto") choose types
// from the network and its ranges on `calibration` (see snn_auto_precision.hpp).
// Rounding that changes a constant is reported with warnings.warn; every error comes before
// the first file is written.  n_steps whose reference spikes exceed reference_bytes_limit are
// a ValueError before anything is simulated; Ctrl-C stops the simulation and the writing,
// which is then rolled back.
nb::dict write_snn_project(nb::handle graph, const SnnProjectArguments& arguments);

}  // namespace zelka::host::fpga
