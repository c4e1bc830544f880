// The Verilator test bench of a generated design: a C++ program that drives the top module
// step by step on a stimulus and compares every LIF layer's spikes with the CPU simulator's
// at every step, both read from data files when it runs, so that new data needs no new
// build.  It prints the report of the HLS project's C simulation (read_csim_report reads
// both), and writes the clock cycles of every step to a file:
//
//     {project}_rtl_tb <data folder> <cycles file> [runs]
//
// `runs` repeats the reference's steps, the first step of each run with `clear` raised.
#pragma once

#include <cstdint>
#include <string>

#include "core/fpga/rtl_design.hpp"
#include "core/fpga/snn_testbench.hpp"

namespace zelka::fpga::rtl {

// {project}_rtl_tb.cpp, tb_data/stimulus.txt (the raw values of each Input port, a line each)
// and tb_data/reference_spikes.txt (a line per LIF layer naming it, then a line of '0' and
// '1' per step and layer).  The stimulus must be on the input type's grid and the LIF node
// names free of control characters; `longest_step` bounds the cycles of a step, past which
// the bench reports a hang.
snn::ProjectFiles testbench_files(const snn::Network& network, const Design& design,
                                  const std::string& project, const snn::ReferenceSpikes& reference,
                                  std::size_t steps, std::uint64_t longest_step);

// The name of the test bench's source, which marks a folder as holding a design:
// "{project}_rtl_tb.cpp".
std::string testbench_source(const std::string& project);

}  // namespace zelka::fpga::rtl
