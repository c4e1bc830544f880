#include "core/engine/spike_values.hpp"

#include <algorithm>

namespace zelka::engine {

// Blocks of values are tested without branches (so that the test vectorises), and the scan
// stops at the first block holding something else.
__attribute__((target_clones("avx2", "default"))) bool only_zeros_and_ones(const float* values,
                                                                           std::int64_t n) {
  constexpr std::int64_t block = 4096;
  for (std::int64_t first = 0; first < n; first += block) {
    const std::int64_t end = std::min(n, first + block);
    int other = 0;
    for (std::int64_t i = first; i < end; ++i)
      other |= static_cast<int>(values[i] != 0.0f) & static_cast<int>(values[i] != 1.0f);
    if (other) return false;
  }
  return true;
}

}  // namespace zelka::engine
