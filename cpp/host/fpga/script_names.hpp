// Names the generated scripts write into code unquoted (Tcl words, file names): the project
// name must be an identifier and a part number a word of letters, digits, '-', '_' and '.',
// so that neither can end the word it is written in and start code of its own.
#pragma once

#include "host/python.hpp"

namespace zelka::host::fpga {

// ValueError "Argument '{name}' must be a Python identifier (letters, digits and
// underscores, not starting with a digit), got {repr}" unless str.isidentifier() holds;
// Unicode letters are letters.
void require_project_name(nb::handle name, const char* argument);

// ValueError "{what} must be a part number made of letters, digits, '-', '_' and '.', got
// {repr}" for an empty text or one holding any other character.
void require_part_number(nb::handle part, const char* what);

}  // namespace zelka::host::fpga
