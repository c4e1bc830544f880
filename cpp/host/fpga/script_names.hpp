// Names the generated files write into code unquoted: the project name in the scripts' Tcl
// words and file names and, in the SNN project, as its C++ top function; a part number in Tcl
// words.  Each must be a word of its own, so that none can end the word it is written in and
// start code of its own.
#pragma once

#include "host/python.hpp"

namespace zelka::host::fpga {

// What a project name is written into, and so what it must be.
enum class ProjectNameUse {
  // build.py and build_prj.tcl: a Python identifier (str.isidentifier(); Unicode letters are
  // letters).
  scripts,
  // The SNN project, whose C++ top function, files and probe are named after it: ASCII
  // letters, digits and single underscores, starting with a letter, neither a C++ keyword nor
  // a name the test bench defines ("main", "compare", "nnet").  Such a name is a Python
  // identifier too, so the SNN project's scripts take it.
  cpp_top_function,
  // The Verilog design, whose top module, files and test bench are named after it: ASCII
  // letters, digits and single underscores, starting with a letter, neither a Verilog-2005
  // keyword nor a name starting with "zelka_" (the design's own modules).
  verilog_module,
};

// ValueError unless `name` (a str) is a project name for `use`:
//   scripts: "Argument '{argument}' must be a Python identifier (letters, digits and
//     underscores, not starting with a digit), got {repr}";
//   cpp_top_function: "Argument '{argument}' must be a C++ identifier (ASCII letters, digits
//     and single underscores, starting with a letter; not a C++ keyword or 'main'), got
//     {repr}" (UnicodeEncodeError first for a name without a UTF-8 form).
void require_project_name(nb::handle name, const char* argument,
                          ProjectNameUse use = ProjectNameUse::scripts);

// ValueError "{what} must be a part number made of letters, digits, '-', '_' and '.', got
// {repr}" for an empty text or one holding any other character.
void require_part_number(nb::handle part, const char* what);

}  // namespace zelka::host::fpga
