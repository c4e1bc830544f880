// The project settings the FPGA configuration, compile and build_bitstream take, and the
// argument rules they are checked by.
#pragma once

#include "host/python.hpp"

namespace zelka::host::fpga {

// Checked: strings, and ints for the clock period (whole nanoseconds, see clock_period.hpp)
// and the default reuse factor.
struct ProjectSettings {
  nb::object output_dir, project_name, part, clock_period, io_type, default_precision,
      default_reuse_factor, strategy;
};

// TypeError "Argument '{name}' has incorrect type (expected ..., got ...)" for the first
// argument of the wrong type, in parameter order; numbers for the two integers are
// truncated.
ProjectSettings checked_project_settings(nb::handle output_dir, nb::handle project_name,
                                         nb::handle part, nb::handle clock_period,
                                         nb::handle io_type, nb::handle default_precision,
                                         nb::handle default_reuse_factor, nb::handle strategy);

}  // namespace zelka::host::fpga
