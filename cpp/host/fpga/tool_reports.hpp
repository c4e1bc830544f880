// What an external tool printed, worded for the errors of the FPGA flows.
#pragma once

#include <string>
#include <vector>

#include "core/tools/command.hpp"
#include "host/python.hpp"

namespace zelka::host::fpga {

// "ended with status 3" or "was ended by signal 11".
nb::str ending_of(const tools::CommandResult& result);

// The name of the one design of `names` found in `folder` (what the host calls it); ValueError
// naming `what` ("Verilog design") and how to write one (`writer`) when there is none, and the
// names when there are several.
std::string only_project(nb::handle folder, const std::vector<std::string>& names, const char* what,
                         const char* marker, const char* writer);

}  // namespace zelka::host::fpga
