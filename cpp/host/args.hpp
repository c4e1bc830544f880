// Argument rules of the public operations: declared strings and maps must have that type;
// integers accept any number and truncate it toward zero; floats accept any number.
#pragma once

#include <cstdint>

#include "host/python.hpp"

namespace zelka::host {

// TypeError "Argument '{name}' has incorrect type (expected {expected}, got {type name})".
[[noreturn]] void raise_argument_type(const char* name, const char* expected, nb::handle got);

// A number in the sense of these rules: something int() or float() can take, but not text
// (which int() would parse) and not a complex number.
bool is_number(nb::handle value);

// An integer argument: ints as they are, other numbers truncated toward zero.
nb::object int_argument(nb::handle value, const char* name);
// The same, as a 64-bit integer: OverflowError naming the argument beyond that range.
std::int64_t int64_argument(nb::handle value, const char* name);

// A float argument: any number (an integer included), as a Python float.
double float_argument(nb::handle value, const char* name);

void require_str(nb::handle value, const char* name);
void require_dict_or_none(nb::handle value, const char* name);

}  // namespace zelka::host
