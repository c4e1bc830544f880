// The test bench of an SNN HLS project: it runs the top function for a number of steps on
// the graph's stimulus and compares every LIF layer's spikes, step by step, with the spikes
// the CPU simulator gave, which it embeds.  It prints its findings in a fixed form that
// read_csim_report parses:
//
//     zelka-csim steps=<steps> layers=<LIF layers>
//     layer <k> neurons=<count> <node name>            one line per LIF layer, k = 1, 2, ...
//     step <t> agree|differ <c>,<r>,<d> ...            one line per step, t = 1, 2, ...: for
//                                                      each layer the spikes of the C
//                                                      simulation, of the CPU simulator, and
//                                                      the neurons whose spike differs
//     result <agreeing>/<steps> steps agree
//
// and exits with status 0 when every step agrees, 1 otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/fpga/snn_code.hpp"

namespace zelka::fpga::snn {

// For each LIF node of the network (in its order), the spikes the CPU simulator gave: one
// byte per step and neuron, step by step, 1 where the neuron fired and 0 elsewhere.
using ReferenceSpikes = std::vector<std::vector<std::uint8_t>>;

// {project}_tb.cpp, tb_data/stimulus.h and tb_data/reference_spikes.h.  LIF node names must
// hold no control character.
ProjectFiles testbench_files(const Network& network, const Plan& plan, const std::string& project,
                             const ReferenceSpikes& reference, std::size_t steps);

// The size of the reference spikes tb_data/reference_spikes.h embeds for `steps` steps, in
// bytes: a line per step and LIF layer, its neurons' spikes as a string literal (saturated at
// the largest 64-bit count).
std::uint64_t reference_bytes(const Network& network, std::uint64_t steps);

// The most reference_bytes a project embeds: 64 MiB.  At that size g++ needs up to 20 s and
// 3 GB of memory for the literals alone (when the layers are small, a literal per few bytes),
// and the C simulation prints a line per step: a test bench beyond it is no longer a check one
// runs.
inline constexpr std::uint64_t reference_bytes_limit = std::uint64_t{64} << 20;

struct LayerReport {
  std::string name;
  std::size_t neurons = 0;
  std::uint64_t spikes = 0, reference_spikes = 0, steps_differing = 0;
};

struct CsimReport {
  std::vector<LayerReport> layers;
  std::vector<bool> step_agrees;
  std::size_t steps_agreeing = 0;
};

// The report a test bench printed; zelka::ValueError naming the line when the text is not
// in the form above (a test bench that stopped early, say).
CsimReport read_csim_report(std::string_view output);

}  // namespace zelka::fpga::snn
