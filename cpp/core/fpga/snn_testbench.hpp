// The test bench of an SNN HLS project and the data it is written with.  The bench runs the
// top function on every sample of a stimulus file and compares every LIF layer's spikes, step
// by step, with those of a reference file (snn_bench_data.hpp gives both forms); it reads
// tb_data/stimulus.dat and tb_data/reference_spikes.dat, the graph's stimulus and the CPU
// simulator's spikes for it, unless it is given other files:
//
//     {project}_tb [STIMULUS [REFERENCE]]
//
// It prints its findings in the form read_csim_report parses (snn_csim_report.hpp) and exits
// with status 0 when every step of every sample agrees, 1 when one differs, and 2, with the
// reason on standard error, when a data file cannot be read or does not fit the network.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/fpga/snn_code.hpp"

namespace zelka::fpga::snn {

// For each LIF node of the network (in its order), the spikes the CPU simulator gave: one
// byte per step and neuron, step by step, 1 where the neuron fired and 0 elsewhere.
using ReferenceSpikes = std::vector<std::vector<std::uint8_t>>;

// What the project's own data files hold: the CPU simulator's spikes for the graph's stimulus
// (the network's Input nodes), the steps they cover, and the digest of the graph file stored
// with the project.
struct WrittenReference {
  const ReferenceSpikes& spikes;
  std::size_t steps;
  std::string graph_digest;
};

// tb_data/stimulus.dat (the stimulus of the network's Input nodes, in its order, a set per step
// where one of them changes every step) and tb_data/reference_spikes.dat, in the forms of
// snn_bench_data.hpp: the data the test benches of the HLS project and the Verilog design read.
ProjectFiles bench_data_files(const Network& network, const WrittenReference& reference);

// {project}_tb.cpp and bench_data_files.  LIF node names must hold no control character.
ProjectFiles testbench_files(const Network& network, const Plan& plan, const std::string& project,
                             const WrittenReference& reference);

}  // namespace zelka::fpga::snn
