// Python ints <-> the profiler's 128-bit counts.
#pragma once

#include "core/profiler/accounting.hpp"
#include "host/python.hpp"

namespace zelka::host::profiler {

using zelka::profiler::Count;

// An int (or any object with __index__) as a count; OverflowError beyond 127 bits.
Count to_count(nb::handle integer);

nb::object from_count(Count n);

}  // namespace zelka::host::profiler
