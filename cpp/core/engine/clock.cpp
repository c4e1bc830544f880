#include "core/engine/clock.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#include <x86intrin.h>
#endif

namespace zelka::engine {
namespace {

// Whether the time-stamp counter runs at a constant rate whatever the power state
// (invariant TSC: CPUID leaf 0x80000007, EDX bit 8).
bool invariant_counter() {
#if defined(__x86_64__)
  unsigned eax, ebx, ecx, edx;
  if (__get_cpuid_max(0x80000000u, nullptr) < 0x80000007u) return false;
  __cpuid(0x80000007u, eax, ebx, ecx, edx);
  return (edx & (1u << 8)) != 0;
#else
  return false;
#endif
}

const bool counter_is_invariant = invariant_counter();

}  // namespace

TickClock::TickClock()
    : counter_(counter_is_invariant), start_ns_(monotonic_ns()), start_ticks_(now()) {}

std::int64_t TickClock::now() const {
#if defined(__x86_64__)
  if (counter_) return static_cast<std::int64_t>(__rdtsc());
#endif
  return monotonic_ns();
}

double TickClock::nanoseconds_per_tick() const {
  if (!counter_) return 1.0;
  const std::int64_t ticks = now() - start_ticks_;
  const std::int64_t ns = monotonic_ns() - start_ns_;
  return ticks > 0 ? static_cast<double>(ns) / static_cast<double>(ticks) : 0.0;
}

}  // namespace zelka::engine
