// The ranges of the values an SNN project computes, observed on calibration samples.  The CPU
// simulator gives the spikes and membranes of every LIF layer at every step; the values of the
// other nodes follow from them and the stimulus, and are computed here step by step in double
// precision as the plan evaluates them (sums of reads, previous-step reads, nodes that wait).
#pragma once

#include <cstdint>
#include <vector>

#include "core/fpga/snn_network.hpp"

namespace zelka::fpga::snn {

// A batch of samples as the CPU simulator ran it, indexed by network node.
struct CalibrationRun {
  std::size_t samples = 0, steps = 0;
  bool per_step = false;  // the stimuli hold values for every step
  // Input nodes: their values, row-major (samples, size), or (steps, samples, size) per step.
  std::vector<const double*> stimuli;
  // LIF nodes: spikes (nonzero where a neuron fired) and membranes after each step, row-major
  // (steps, samples, neurons).
  std::vector<const std::uint8_t*> spikes;
  std::vector<const double*> membranes;
};

struct ObservedRange {
  // The largest magnitude of the node's value: Input values, dense outputs, LIF membranes
  // before they fire and are reset.
  double largest = 0.0;
  // Dense nodes: the largest sum of the magnitudes of an output's products and its bias, which
  // bounds each partial sum the kernel forms; the largest sum of the magnitudes of the input
  // values and the most nonzero input values.  Dense and Input nodes: whether any value they
  // read (Input nodes: give) had a fractional part.
  double largest_partial_sum = 0.0;
  double largest_input_sum = 0.0;
  std::size_t most_nonzero_inputs = 0;
  bool fractional_inputs = false;
};

// The range of every node of the network over every step of every sample of `run`.
std::vector<ObservedRange> observe_ranges(const Network& network, const Plan& plan,
                                          const CalibrationRun& run);

}  // namespace zelka::fpga::snn
