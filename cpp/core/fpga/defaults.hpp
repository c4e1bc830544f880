// The defaults of the FPGA generators' settings, each stated once: the bindings' default
// arguments, their documentation texts and the backend's capability record read these (the
// default board and part are the board table's, in boards.hpp).
#pragma once

namespace zelka::fpga {

// The fixed-point type of values and weights where a node sets none.
inline constexpr const char* default_precision = "ap_fixed<16,6>";

// The target clock period, in nanoseconds (200 MHz).
inline constexpr int default_clock_period_ns = 5;

}  // namespace zelka::fpga
