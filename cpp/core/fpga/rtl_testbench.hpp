// The Verilator test bench of a generated design: a C++ program that drives the top module
// on every sample of a stimulus file and compares every LIF layer's spikes with the CPU
// simulator's at every step, both read from the data files of the HLS project's test bench
// (snn_bench_data.hpp) when it runs, so that new data needs no new build.  It prints the report
// of the HLS project's C simulation (read_csim_report reads both), and writes the clock cycles
// of every step to a file:
//
//     {project}_rtl_tb <cycles file> [runs [STIMULUS [REFERENCE]]]
//
// `runs` repeats each sample's steps, the first step of each run with `clear` raised.
#pragma once

#include <cstdint>
#include <string>

#include "core/fpga/rtl_design.hpp"
#include "core/fpga/snn_testbench.hpp"

namespace zelka::fpga::rtl {

// {project}_rtl_tb.cpp and snn::bench_data_files.  The LIF node names must be free of control
// characters; `longest_step` bounds the cycles of a step, past which the bench reports a hang.
snn::ProjectFiles testbench_files(const snn::Network& network, const Design& design,
                                  const std::string& project,
                                  const snn::WrittenReference& reference,
                                  std::uint64_t longest_step);

// The name of the test bench's source, which marks a folder as holding a design:
// "{project}_rtl_tb.cpp".
std::string testbench_source(const std::string& project);

}  // namespace zelka::fpga::rtl
