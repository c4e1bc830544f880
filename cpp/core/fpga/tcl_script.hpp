// The Vivado HLS / Vitis HLS Tcl script of a project: it opens (and resets) the HLS project,
// adds the top-level source and its test bench (and the test bench's data), selects the part, sets
// the clock and its uncertainty, then runs C simulation, C synthesis and IP export.
#pragma once

#include <string>
#include <string_view>

namespace zelka::fpga {

struct TclScriptSettings {
  // Both are written into Tcl words unquoted: the caller makes sure the project name is an
  // identifier and the part is made of letters, digits, '-', '_' and '.'.
  std::string_view project_name;
  std::string_view part;
  double clock_period_ns;
  double clock_uncertainty_pct;  // percent of the period
  // A folder of files the test bench reads when it runs (added to the C simulation), or empty.
  // Written unquoted, like the names above.
  std::string_view testbench_data = {};
};

// The script text, ending with a newline after "exit".  A zero period has no frequency:
// ZeroDivisionError "float division by zero".  Other values are written as given (a
// negative period gives a negative frequency).
std::string render_tcl_script(const TclScriptSettings& settings);

}  // namespace zelka::fpga
