// The clock cycles a generated design takes per time step, from the units' timing: a dense
// unit's scan and blocks depend on how many of its input values are nonzero, everything
// else on the sizes alone.
#pragma once

#include <cstdint>
#include <vector>

#include "core/fpga/rtl_design.hpp"
#include "core/fpga/snn_testbench.hpp"

namespace zelka::fpga::rtl {

// The cycles of each of `steps` steps after a clear (sequential: from the rising edge that
// takes `start` to the one after which `done` is high; overlapped: from the edge after the
// previous step's `done`, or the first step's `start`, to the one after which its `done` is
// high, with the test bench's host writing the stimuli as soon as the design takes them), given the
// LIF layers' spikes at every step (the CPU simulator's: the design computes the same where it
// agrees) and the stimulus.  Values of dense layers and copies are counted as nonzero, and a sum as
// nonzero where any of its reads is: for networks whose dense layers read stimuli and spikes only,
// the count is exact.
std::vector<std::uint64_t> step_cycles(const snn::Network& network, const Design& design,
                                       const snn::ReferenceSpikes& spikes, std::size_t steps);

// The cycles of the longest step in the sequential schedule, which bounds a step of either:
// every input value nonzero.
std::uint64_t longest_step_cycles(const snn::Network& network, const Design& design);

}  // namespace zelka::fpga::rtl
