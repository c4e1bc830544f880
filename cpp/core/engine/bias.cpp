#include "core/engine/bias.hpp"

#include <type_traits>

#include "core/engine/fp_flags.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#include "core/engine/cpu_features.hpp"
#include "core/engine/quiet_clip.hpp"
#endif

namespace zelka::engine {
namespace {

template <typename P, typename R>
[[gnu::always_inline]] inline void bias_sums(const P* product, std::int64_t product_stride,
                                             const R* __restrict bias, R* out,
                                             std::int64_t out_stride, std::int64_t rows,
                                             std::int64_t samples) {
  for (std::int64_t k = 0; k < samples; ++k) {
    const P* __restrict in = product + k * product_stride;
    R* __restrict sums = out + k * out_stride;
    for (std::int64_t r = 0; r < rows; ++r) sums[r] = static_cast<R>(in[r]) + bias[r];
  }
}

template <typename R>
[[gnu::always_inline]] inline void clipped(R* out, std::int64_t stride, std::int64_t rows,
                                           std::int64_t samples, numeric::Bounds<R> bounds) {
  for (std::int64_t k = 0; k < samples; ++k) {
    R* __restrict values = out + k * stride;
    for (std::int64_t r = 0; r < rows; ++r) values[r] = numeric::clip(values[r], bounds);
  }
}

#if defined(__x86_64__)
// clip(product + bias) in one pass: the sum is the one IEEE addition add_bias makes, and the
// clip is quiet (clip_quietly), so that only the addition can raise a flag.  Lanes past `rows` are
// neither read nor written.
__attribute__((target("avx512f"))) void bias_clipped_avx512(const float* product,
                                                            std::int64_t product_stride,
                                                            const float* bias, float* out,
                                                            std::int64_t out_stride,
                                                            std::int64_t rows, std::int64_t samples,
                                                            numeric::Bounds<float> bounds) {
  const __m512 lo = _mm512_set1_ps(bounds.lo), hi = _mm512_set1_ps(bounds.hi);
  for (std::int64_t k = 0; k < samples; ++k) {
    const float* in = product + k * product_stride;
    float* sums = out + k * out_stride;
    for (std::int64_t r = 0; r < rows; r += 16) {
      const __mmask16 valid =
          rows - r >= 16 ? __mmask16(0xffff) : __mmask16((1u << (rows - r)) - 1);
      const __m512 v = _mm512_add_ps(_mm512_maskz_loadu_ps(valid, in + r),
                                     _mm512_maskz_loadu_ps(valid, bias + r));
      _mm512_mask_storeu_ps(sums + r, valid, clip_quietly(v, lo, hi));
    }
  }
}
#endif

}  // namespace

template <typename P, typename R>
void add_bias_clipped(const P* product, std::int64_t product_stride, const R* bias, R* out,
                      std::int64_t out_stride, std::int64_t rows, std::int64_t samples,
                      numeric::Bounds<R> bounds) {
#if defined(__x86_64__)
  if constexpr (std::is_same_v<P, float> && std::is_same_v<R, float>)
    if (has_avx512())
      return bias_clipped_avx512(product, product_stride, bias, out, out_stride, rows, samples,
                                 bounds);
#endif
  add_bias(product, product_stride, bias, out, out_stride, rows, samples);
  const UnreportedFlags unreported;
  clip_rows(out, out_stride, rows, samples, bounds);
}

template void add_bias_clipped(const float*, std::int64_t, const float*, float*, std::int64_t,
                               std::int64_t, std::int64_t, numeric::Bounds<float>);
template void add_bias_clipped(const float*, std::int64_t, const double*, double*, std::int64_t,
                               std::int64_t, std::int64_t, numeric::Bounds<double>);
template void add_bias_clipped(const double*, std::int64_t, const float*, float*, std::int64_t,
                               std::int64_t, std::int64_t, numeric::Bounds<float>);
template void add_bias_clipped(const double*, std::int64_t, const double*, double*, std::int64_t,
                               std::int64_t, std::int64_t, numeric::Bounds<double>);

__attribute__((target_clones("avx512f", "avx2", "default"))) void add_bias(
    const float* product, std::int64_t product_stride, const float* bias, float* out,
    std::int64_t out_stride, std::int64_t rows, std::int64_t samples) {
  bias_sums(product, product_stride, bias, out, out_stride, rows, samples);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void add_bias(
    const float* product, std::int64_t product_stride, const double* bias, double* out,
    std::int64_t out_stride, std::int64_t rows, std::int64_t samples) {
  bias_sums(product, product_stride, bias, out, out_stride, rows, samples);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void add_bias(
    const double* product, std::int64_t product_stride, const float* bias, float* out,
    std::int64_t out_stride, std::int64_t rows, std::int64_t samples) {
  bias_sums(product, product_stride, bias, out, out_stride, rows, samples);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void add_bias(
    const double* product, std::int64_t product_stride, const double* bias, double* out,
    std::int64_t out_stride, std::int64_t rows, std::int64_t samples) {
  bias_sums(product, product_stride, bias, out, out_stride, rows, samples);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void clip_rows(
    float* out, std::int64_t stride, std::int64_t rows, std::int64_t samples,
    numeric::Bounds<float> bounds) {
  clipped(out, stride, rows, samples, bounds);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void clip_rows(
    double* out, std::int64_t stride, std::int64_t rows, std::int64_t samples,
    numeric::Bounds<double> bounds) {
  clipped(out, stride, rows, samples, bounds);
}

}  // namespace zelka::engine
