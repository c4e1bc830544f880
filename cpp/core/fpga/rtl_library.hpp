// The Verilog modules the generated top module builds on: fixed-point conversion with ap_fixed's
// quantisation and overflow modes, memories, the alignment of a unit's reads, and the units
// (dense layers, the LIF engine, copies of pass-through values).
#pragma once

#include "core/fpga/snn_code.hpp"

namespace zelka::fpga::rtl {

using snn::ProjectFiles;

// rtl/zelka_*.v: the modules' texts.
ProjectFiles library_files();

}  // namespace zelka::fpga::rtl
