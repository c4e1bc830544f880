// The monotonic clock node times are measured with.
#pragma once

#include <chrono>
#include <cstdint>

namespace zelka::engine {

// Integer nanoseconds of the monotonic clock (CLOCK_MONOTONIC on Linux: the clock of
// Python's time.monotonic_ns).
inline std::int64_t monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace zelka::engine
