// Argument rules of the public operations: declared strings and maps must have that type;
// floats accept any number.  The integers of the original operations (run, the CPU backend's
// simulate, profile and compile, the profiler, the FPGA configuration's readers) accept any
// number and truncate it toward zero; the counts of the later ones (simulate_batch, the SNN
// and Verilog writers, csim, simulate_rtl, simulate_dataset) take integers only, so that 2.9
// or True is refused rather than read as 2 or 1.
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

// A count argument: an int, or what has __index__ (numpy's integers), as a Python int.  The
// TypeError of raise_argument_type (expected int) for anything else: a bool, a float even of
// whole value, a str, None.
nb::object count_argument(nb::handle value, const char* name);
// The same, as a 64-bit integer: OverflowError naming the argument beyond that range.
std::int64_t count64_argument(nb::handle value, const char* name);

// A float argument: any number (an integer included), as a Python float.
double float_argument(nb::handle value, const char* name);

void require_str(nb::handle value, const char* name);
void require_dict_or_none(nb::handle value, const char* name);

}  // namespace zelka::host
