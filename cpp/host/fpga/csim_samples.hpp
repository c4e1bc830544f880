// Samples given to csim: checked against the inputs the project was written for, simulated
// with the CPU backend's simulate_batch on the graph stored with the project, and written as the
// test bench's data files.
#pragma once

#include <optional>
#include <string>

#include "host/fpga/stored_graph.hpp"
#include "host/python.hpp"

namespace zelka::host::fpga {

struct SampleReference {
  std::string stimulus_file, reference_file;  // the data files written, file-system bytes
  // LIF node name -> the CPU simulator's spikes per sample, int64 (batch,), and per sample and
  // neuron, int64 (batch, neurons).
  nb::dict sample_spike_counts, neuron_spike_counts;
};

// Writes the stimulus and reference files of `inputs` (a dict from Input name to arrays (batch,
// *shape), or a PerStep of arrays (steps, batch, *shape)) for `n_steps` (None or an int) into
// `scratch`, for the project in `folder` (`directory`: its file-system bytes).  TypeError or
// ValueError naming the argument for inputs that do not fit the project: keys that name no Input
// or leave one out, shapes other than the project's, a batch that differs between inputs or is
// empty, values that are no finite numbers; ValueError when the project holds no data files or
// stored graph, or its stored graph changed since it was written, and when the CPU simulator
// fails on a sample.
SampleReference write_samples(nb::handle folder, const std::string& directory, nb::handle inputs,
                              nb::handle n_steps, const std::string& scratch,
                              const ProjectUse& use);

// write_samples of `inputs`, or nullopt when they are None (the project's own stimulus runs);
// ValueError naming n_steps when it is given without inputs.
std::optional<SampleReference> given_samples(nb::handle folder, const std::string& directory,
                                             nb::handle inputs, nb::handle n_steps,
                                             const std::string& scratch, const ProjectUse& use);

}  // namespace zelka::host::fpga
