#include "host/cpu/cache_blocks.hpp"

#include <unistd.h>

#include <algorithm>

namespace zelka::host::cpu {
namespace {

// A core's second-level cache in bytes, as the system reports it (1 MiB when it does not).
std::int64_t second_level_cache_bytes() {
  static const std::int64_t bytes = [] {
    const long reported = sysconf(_SC_LEVEL2_CACHE_SIZE);
    return reported > 0 ? static_cast<std::int64_t>(reported) : std::int64_t{1} << 20;
  }();
  return bytes;
}

}  // namespace

std::int64_t bytes_per_sample(const engine::Plan& plan) {
  std::int64_t bytes = 0;
  for (const engine::Slot& slot : plan.slots)
    if (slot.sample_stride > 0)
      bytes += slot.size * static_cast<std::int64_t>(engine::itemsize(slot.dtype));
  return bytes;
}

std::int64_t samples_per_block(const engine::Plan& plan) {
  const std::int64_t budget = second_level_cache_bytes() / 2;
  const std::int64_t fitting = budget / std::max<std::int64_t>(bytes_per_sample(plan), 1);
  return std::clamp<std::int64_t>(fitting, std::min(minimum_block_samples, plan.batch),
                                  std::max<std::int64_t>(plan.batch, 1));
}

}  // namespace zelka::host::cpu
