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

// A clock for the many short intervals of per-node timing: the processor's time-stamp
// counter where it runs at a constant rate (a read costs a few nanoseconds, a read of the
// monotonic clock a few tens), else the monotonic clock itself.  A span of ticks becomes
// nanoseconds of the monotonic clock at the rate the two clocks kept over a measured run.
class TickClock {
 public:
  TickClock();
  std::int64_t now() const;

  // Nanoseconds per tick over the run from construction to now.
  double nanoseconds_per_tick() const;

 private:
  bool counter_;
  std::int64_t start_ns_;
  std::int64_t start_ticks_;
};

}  // namespace zelka::engine
