// The clock period an FPGA project is built for, in nanoseconds, as the operations read it:
// any number but text, in the form the project records.  hls4ml's configuration records whole
// nanoseconds (ir_to_hls4ml_config, compile and build_bitstream take any such number, zero
// and negative ones included); write_snn_project records any positive, finite period.
#pragma once

#include "host/python.hpp"

namespace zelka::host::fpga {

enum class ClockPeriodForm {
  whole_nanoseconds,  // an int, other numbers truncated toward zero
  nanoseconds,        // a float
};

// The argument `clock_period` in `form`; TypeError "Argument 'clock_period' has incorrect
// type (expected int|float, got ...)" for what is no number.
nb::object clock_period_argument(nb::handle value, ClockPeriodForm form);

// ValueError "Argument 'clock_period' must be a positive number of nanoseconds, got {repr}"
// for a period (a float) that is not positive and finite.
void require_positive_clock_period(nb::handle period);

// VexalConfig's clock_period_ns for a period read in either form: float(period).
nb::object clock_period_ns(nb::handle period);

}  // namespace zelka::host::fpga
