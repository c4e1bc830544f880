#include "core/engine/bias.hpp"

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

}  // namespace

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
