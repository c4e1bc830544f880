#include "core/engine/spike_values.hpp"

#include <algorithm>

#if defined(__x86_64__)
#include <immintrin.h>

#include "core/engine/cpu_features.hpp"
#endif

namespace zelka::engine {
namespace {

// Blocks of values are tested without branches (so that the test vectorises), and the scan
// stops at the first block holding something else.
constexpr std::int64_t block = 4096;

__attribute__((target_clones("avx2", "default"))) bool portable_scan(const float* values,
                                                                     std::int64_t n) {
  for (std::int64_t first = 0; first < n; first += block) {
    const std::int64_t end = std::min(n, first + block);
    int other = 0;
    for (std::int64_t i = first; i < end; ++i)
      other |= static_cast<int>(values[i] != 0.0f) & static_cast<int>(values[i] != 1.0f);
    if (other) return false;
  }
  return true;
}

#if defined(__x86_64__)
// The lanes of 16 values that are neither 0 nor 1 (quiet compares: a NaN is such a value and
// raises no flag).
__attribute__((target("avx512f"), always_inline)) inline __mmask16 others(const float* at) {
  const __m512 v = _mm512_loadu_ps(at);
  return _mm512_mask_cmp_ps_mask(_mm512_cmp_ps_mask(v, _mm512_setzero_ps(), _CMP_NEQ_UQ), v,
                                 _mm512_set1_ps(1.0f), _CMP_NEQ_UQ);
}

// The same scan with AVX-512, two vectors at a time, which reads a stimulus of megabytes as
// fast as the caches deliver it, where the portable loop does not.
__attribute__((target("avx512f"))) bool avx512_scan(const float* values, std::int64_t n) {
  std::int64_t first = 0;
  for (; first + block <= n; first += block) {
    __mmask16 other = 0, other_too = 0;
    for (std::int64_t i = first; i < first + block; i += 32) {
      other |= others(values + i);
      other_too |= others(values + i + 16);
    }
    if (other | other_too) return false;
  }
  return portable_scan(values + first, n - first);
}
#endif

}  // namespace

bool only_zeros_and_ones(const float* values, std::int64_t n) {
#if defined(__x86_64__)
  if (has_avx512()) return avx512_scan(values, n);
#endif
  return portable_scan(values, n);
}

}  // namespace zelka::engine
