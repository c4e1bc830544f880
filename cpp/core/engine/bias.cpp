#include "core/engine/bias.hpp"

namespace zelka::engine {
namespace {

template <typename P, typename R>
[[gnu::always_inline]] inline void bias_sums_clipped(const P* product, std::int64_t product_stride,
                                                     const R* __restrict bias, R* out,
                                                     std::int64_t out_stride, std::int64_t rows,
                                                     std::int64_t samples,
                                                     numeric::Bounds<R> bounds) {
  for (std::int64_t k = 0; k < samples; ++k) {
    const P* __restrict in = product + k * product_stride;
    R* __restrict sums = out + k * out_stride;
    for (std::int64_t r = 0; r < rows; ++r)
      sums[r] = numeric::clip(static_cast<R>(in[r]) + bias[r], bounds);
  }
}

template <typename R>
[[gnu::always_inline]] inline void clipped(R* __restrict out, std::int64_t rows,
                                           numeric::Bounds<R> bounds) {
  for (std::int64_t r = 0; r < rows; ++r) out[r] = numeric::clip(out[r], bounds);
}

}  // namespace

__attribute__((target_clones("avx512f", "avx2", "default"))) void add_bias_clipped(
    const float* product, std::int64_t product_stride, const float* bias, float* out,
    std::int64_t out_stride, std::int64_t rows, std::int64_t samples,
    numeric::Bounds<float> bounds) {
  bias_sums_clipped(product, product_stride, bias, out, out_stride, rows, samples, bounds);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void add_bias_clipped(
    const float* product, std::int64_t product_stride, const double* bias, double* out,
    std::int64_t out_stride, std::int64_t rows, std::int64_t samples,
    numeric::Bounds<double> bounds) {
  bias_sums_clipped(product, product_stride, bias, out, out_stride, rows, samples, bounds);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void add_bias_clipped(
    const double* product, std::int64_t product_stride, const float* bias, float* out,
    std::int64_t out_stride, std::int64_t rows, std::int64_t samples,
    numeric::Bounds<float> bounds) {
  bias_sums_clipped(product, product_stride, bias, out, out_stride, rows, samples, bounds);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void add_bias_clipped(
    const double* product, std::int64_t product_stride, const double* bias, double* out,
    std::int64_t out_stride, std::int64_t rows, std::int64_t samples,
    numeric::Bounds<double> bounds) {
  bias_sums_clipped(product, product_stride, bias, out, out_stride, rows, samples, bounds);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void clip_rows(
    float* out, std::int64_t rows, numeric::Bounds<float> bounds) {
  clipped(out, rows, bounds);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void clip_rows(
    double* out, std::int64_t rows, numeric::Bounds<double> bounds) {
  clipped(out, rows, bounds);
}

}  // namespace zelka::engine
