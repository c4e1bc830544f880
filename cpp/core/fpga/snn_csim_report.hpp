// The report an SNN project's test bench prints (snn_testbench.hpp), read back:
//
//     zelka-csim steps=<steps> layers=<LIF layers> samples=<samples>
//     layer <k> neurons=<count> <node name>            one line per LIF layer, k = 1, 2, ...
//   then for each sample
//     step <t> agree|differ <c>,<r>,<d> ...            one line per step, t = 1, 2, ...: for
//                                                      each layer the spikes of the C
//                                                      simulation, of the CPU simulator, and
//                                                      the neurons whose spike differs
//     fired <k> <spikes of each neuron> ...            one line per layer: the sample's spikes
//                                                      in the C simulation, neuron by neuron
//   and last
//     result <agreeing>/<samples * steps> steps agree
//
// The test benches of projects written before they ran several samples print the same without
// " samples=<samples>" and without the fired lines: one sample.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelka::fpga::snn {

struct LayerReport {
  std::string name;
  std::size_t neurons = 0;
  // Over all samples: spikes in the C simulation and in the CPU simulator, and the steps at
  // which the layer's spikes differed in some sample.
  std::uint64_t spikes = 0, reference_spikes = 0, steps_differing = 0;
  // Per sample: spikes in the C simulation and in the CPU simulator.
  std::vector<std::uint64_t> sample_spikes, sample_reference_spikes;
  // Per sample and neuron (row-major, samples by neurons): spikes in the C simulation; empty
  // for a report without fired lines.
  std::vector<std::uint64_t> neuron_spikes;
};

struct CsimReport {
  std::vector<LayerReport> layers;
  std::uint64_t samples = 1;
  std::vector<bool> step_agrees;                     // per step: every sample agreed at that step
  std::size_t steps_agreeing = 0;                    // steps at which every sample agreed
  std::vector<std::uint64_t> sample_steps_agreeing;  // per sample
};

// The report a test bench printed; zelka::ValueError naming the line when the text is not
// in the form above (a test bench that stopped early, say) or its counts do not add up.
CsimReport read_csim_report(std::string_view output);

}  // namespace zelka::fpga::snn
