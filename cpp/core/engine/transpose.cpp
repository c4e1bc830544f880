#include "core/engine/transpose.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "core/engine/cpu_features.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zelka::engine {
namespace {

template <typename T>
using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;

template <typename T>
constexpr Bits<T> exponent_bits =
    sizeof(T) == 4 ? Bits<T>(0x7f800000u) : Bits<T>(0x7ff0000000000000u);

// Whether a value's exponent bits are all set (an infinity or NaN), as 0 or 1.
template <typename T>
Bits<T> nonfinite_bit(T value) {
  Bits<T> bits;
  std::memcpy(&bits, &value, sizeof bits);
  return Bits<T>((bits & exponent_bits<T>) == exponent_bits<T>);
}

// Rows [r0, r1) and columns [c0, c1) of the matrix, an element at a time, in tiles that keep
// both the rows read and the columns written in cache.
template <typename T>
Bits<T> transpose_scalar(const T* in, std::int64_t r0, std::int64_t r1, std::int64_t c0,
                         std::int64_t c1, std::int64_t cols, T* out, std::int64_t stride) {
  constexpr std::int64_t tile = 32;
  Bits<T> nonfinite = 0;  // (an OR of integers vectorises where an AND of bools does not)
  for (std::int64_t rt = r0; rt < r1; rt += tile)
    for (std::int64_t ct = c0; ct < c1; ct += tile)
      for (std::int64_t c = ct; c < std::min(ct + tile, c1); ++c)
        for (std::int64_t r = rt; r < std::min(rt + tile, r1); ++r) {
          const T value = in[r * cols + c];
          nonfinite |= nonfinite_bit(value);
          out[c * stride + r] = value;
        }
  return nonfinite;
}

#if defined(__x86_64__)
// One block of 8 x 8 floats through eight registers (unpack, shuffle and swap of the
// 128-bit halves); ORs the lanes of its non-finite values into `nonfinite`.
__attribute__((target("avx2"))) inline void transpose_8x8(const float* in, std::int64_t cols,
                                                          float* out, std::int64_t stride,
                                                          __m256i& nonfinite) {
  const __m256i exponent = _mm256_set1_epi32(static_cast<int>(exponent_bits<float>));
  __m256 row[8], pair[8], quad[8];
  for (int i = 0; i < 8; ++i) {
    row[i] = _mm256_loadu_ps(in + i * cols);
    const __m256i masked = _mm256_and_si256(_mm256_castps_si256(row[i]), exponent);
    nonfinite = _mm256_or_si256(nonfinite, _mm256_cmpeq_epi32(masked, exponent));
  }
  for (int i = 0; i < 4; ++i) {
    pair[2 * i] = _mm256_unpacklo_ps(row[2 * i], row[2 * i + 1]);
    pair[2 * i + 1] = _mm256_unpackhi_ps(row[2 * i], row[2 * i + 1]);
  }
  for (int h = 0; h < 2; ++h) {  // rows 0-3, then rows 4-7
    const __m256* p = pair + 4 * h;
    quad[4 * h + 0] = _mm256_shuffle_ps(p[0], p[2], _MM_SHUFFLE(1, 0, 1, 0));
    quad[4 * h + 1] = _mm256_shuffle_ps(p[0], p[2], _MM_SHUFFLE(3, 2, 3, 2));
    quad[4 * h + 2] = _mm256_shuffle_ps(p[1], p[3], _MM_SHUFFLE(1, 0, 1, 0));
    quad[4 * h + 3] = _mm256_shuffle_ps(p[1], p[3], _MM_SHUFFLE(3, 2, 3, 2));
  }
  for (int k = 0; k < 4; ++k) {
    _mm256_storeu_ps(out + k * stride, _mm256_permute2f128_ps(quad[k], quad[4 + k], 0x20));
    _mm256_storeu_ps(out + (4 + k) * stride, _mm256_permute2f128_ps(quad[k], quad[4 + k], 0x31));
  }
}

// Blocks of 16 rows x 8 columns, two 8 x 8 blocks one above the other, so that each column
// written is a whole cache line, then a band of 8 rows where they remain; the rows and
// columns left over by the portable loop.  An
// element-at-a-time copy reads every weight through its own load, each a row apart.
__attribute__((target("avx2"))) bool transpose_finite_avx2(const float* in, std::int64_t rows,
                                                           std::int64_t cols, float* out,
                                                           std::int64_t stride) {
  const std::int64_t rows16 = rows / 16 * 16;
  const std::int64_t rows8 = rows / 8 * 8;
  const std::int64_t cols8 = cols / 8 * 8;
  __m256i nonfinite = _mm256_setzero_si256();
  for (std::int64_t r = 0; r < rows16; r += 16)
    for (std::int64_t c = 0; c < cols8; c += 8) {
      transpose_8x8(in + r * cols + c, cols, out + c * stride + r, stride, nonfinite);
      transpose_8x8(in + (r + 8) * cols + c, cols, out + c * stride + r + 8, stride, nonfinite);
    }
  if (rows8 > rows16)
    for (std::int64_t c = 0; c < cols8; c += 8)
      transpose_8x8(in + rows16 * cols + c, cols, out + c * stride + rows16, stride, nonfinite);
  std::uint32_t rest = transpose_scalar(in, 0, rows8, cols8, cols, cols, out, stride);
  rest |= transpose_scalar(in, rows8, rows, 0, cols, cols, out, stride);
  return _mm256_testz_si256(nonfinite, nonfinite) && rest == 0;
}

#endif

}  // namespace

bool transpose_finite(const float* in, std::int64_t rows, std::int64_t cols, float* out,
                      std::int64_t stride) {
#if defined(__x86_64__)
  if (has_avx2()) return transpose_finite_avx2(in, rows, cols, out, stride);
#endif
  return transpose_scalar(in, 0, rows, 0, cols, cols, out, stride) == 0;
}

bool transpose_finite(const double* in, std::int64_t rows, std::int64_t cols, double* out,
                      std::int64_t stride) {
  return transpose_scalar(in, 0, rows, 0, cols, cols, out, stride) == 0;
}

}  // namespace zelka::engine
