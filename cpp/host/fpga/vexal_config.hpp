// VexalConfig, the target device of an FPGA build (part number, clock period, clock
// uncertainty), the board and resource tables as the host sees them, and the Tcl script
// generated for a VexalConfig.
#pragma once

#include "host/record.hpp"

namespace zelka::host::fpga {

extern const RecordLayout vexal_config_layout;

struct VexalConfig : Record {
  VexalConfig() : Record(&vexal_config_layout) {}
};

// New dicts in table order: board name -> part number, and part number -> resource name ->
// integer.
nb::dict board_parts_table();
nb::dict part_resources_table();

// The row of `resources_table` whose key equals config.part exactly (the row itself), or a
// new empty dict when there is none (a part that is not a str has none).
nb::object resources_of(const VexalConfig& config, nb::handle resources_table);

// VexalConfig(part=VEXAL_PARTS[board]); ValueError "Unknown board: {board}. Available:
// ['zcu102', ...]" for a name the table does not have (compared exactly).
nb::object config_for_board(nb::handle board);

// The text of build_prj.tcl for `config` (a VexalConfig) and `project_name` (a str), adding the
// folder `testbench_data` (when not empty) to the test bench's files.  The
// project name must be an identifier and the part a part number (ValueError otherwise, see
// script_names.hpp); a part that is not a str or a clock field that is not a number is a
// TypeError naming the field; a zero period is ZeroDivisionError "float division by zero".
nb::object tcl_script(const VexalConfig& config, nb::handle project_name,
                      std::string_view testbench_data = {});

}  // namespace zelka::host::fpga
