// ProfileResult: what CPUProfiler.profile returns, and its fixed-format report.
#pragma once

#include "host/record.hpp"

namespace zelka::host::profiler {

extern const RecordLayout profile_result_layout;

struct ProfileResult : Record {
  ProfileResult() : Record(&profile_result_layout) {}
};

// The report of summary(): the record's fields in the report's number formats.  Values that
// are not plain ints and floats are formatted by the host's format(), whose error a value
// that cannot take the format raises.
nb::str profile_summary(nb::handle record);

}  // namespace zelka::host::profiler
