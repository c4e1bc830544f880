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

#include "core/fpga/snn_firmware.hpp"

namespace zelka::fpga::snn {

// For each LIF node of the network (in its order), one text per step: '1' for each neuron
// that fired in the CPU simulator, '0' for the others.
using ReferenceSpikes = std::vector<std::vector<std::string>>;

// {project}_tb.cpp, tb_data/stimulus.h and tb_data/reference_spikes.h.  Node names must
// hold no control character.
ProjectFiles testbench_files(const Network& network, const Plan& plan, const std::string& project,
                             const ReferenceSpikes& reference, std::size_t steps);

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
