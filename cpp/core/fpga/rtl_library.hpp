// The Verilog modules the generated top module builds on: fixed-point conversion with ap_fixed's
// quantisation and overflow modes, memories, the alignment of a unit's reads, and the units
// (dense layers, the LIF engine, copies of pass-through values).  They are fixed Verilog-2005
// text, parameterised by the widths and sizes the top module passes, kept as the package's files
// src/zelka/backend/fpga/verilog/*.v and embedded into the core when it is built.
#pragma once

#include <string_view>

#include "core/fpga/snn_code.hpp"

namespace zelka::fpga::rtl {

using snn::ProjectFiles;

// rtl/zelka_*.v: the modules' texts, in the order the Yosys scripts read them.
ProjectFiles library_files();

// The embedded text of the module file `file_name` ("zelka_dense.v"), byte for byte;
// std::logic_error when no such file was embedded.  Defined in the source that
// cmake/embed_verilog.cmake writes from the package's .v files.
std::string_view module_text(std::string_view file_name);

}  // namespace zelka::fpga::rtl
