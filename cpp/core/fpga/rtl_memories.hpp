// The memory files of a generated design, read by $readmemh: each dense layer's weights and
// biases, and every LIF layer's decay, threshold and rest value of each neuron.
#pragma once

#include <cstdint>
#include <vector>

#include "core/fpga/rtl_design.hpp"
#include "core/fpga/snn_code.hpp"

namespace zelka::fpga::rtl {

// rtl/w{N}.mem and rtl/b{N}.mem of every dense unit and rtl/lif.mem.  The constants must be on
// their types' grids (round_constants).
snn::ProjectFiles memory_files(const snn::Network& network, const Design& design);

// The bits of `value` (on the grid of `type`) as the type stores them: value x 2^fractional
// bits, two's complement when signed, in the low `type.width` bits.
std::uint64_t stored_bits(double value, const FixedType& type);

// The bits of every block memory the design's weights fill (lanes past a layer's last output
// included): what the weight files hold.
std::uint64_t weight_bits(const snn::Network& network, const Design& design);

}  // namespace zelka::fpga::rtl
