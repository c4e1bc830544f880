// The Affine layer's element-wise passes after its product: the bias added, and the sums
// clipped to the layer's precision.  Vector kernels (AVX-512 or AVX2 where the machine has
// them), each element computed as one IEEE operation like numpy's.
#pragma once

#include <cstdint>

#include "core/numeric/saturate.hpp"

namespace zelka::engine {

// For each of `samples` samples k: out_k[r] = R(product_k[r]) + bias[r] for the `rows` rows,
// where product_k = product + k * product_stride and out_k = out + k * out_stride (product in
// type P, the sum in R).
void add_bias(const float* product, std::int64_t product_stride, const float* bias, float* out,
              std::int64_t out_stride, std::int64_t rows, std::int64_t samples);
void add_bias(const float* product, std::int64_t product_stride, const double* bias, double* out,
              std::int64_t out_stride, std::int64_t rows, std::int64_t samples);
void add_bias(const double* product, std::int64_t product_stride, const float* bias, float* out,
              std::int64_t out_stride, std::int64_t rows, std::int64_t samples);
void add_bias(const double* product, std::int64_t product_stride, const double* bias, double* out,
              std::int64_t out_stride, std::int64_t rows, std::int64_t samples);

// out_k[r] = clip(out_k[r], bounds) (NaN stays NaN) for `samples` samples `stride` apart.
// Clipping a NaN raises the invalid-operation flag, which numpy's clip does not: callers
// discard the flags this raises.
void clip_rows(float* out, std::int64_t stride, std::int64_t rows, std::int64_t samples,
               numeric::Bounds<float> bounds);
void clip_rows(double* out, std::int64_t stride, std::int64_t rows, std::int64_t samples,
               numeric::Bounds<double> bounds);

// add_bias, then clip_rows of its sums to `bounds`, the flags the clipping raises discarded
// (the Affine layer's whole step after its product).  With AVX-512, float32 sums are added
// and clipped in one pass whose comparisons are quiet.
template <typename P, typename R>
void add_bias_clipped(const P* product, std::int64_t product_stride, const R* bias, R* out,
                      std::int64_t out_stride, std::int64_t rows, std::int64_t samples,
                      numeric::Bounds<R> bounds);

}  // namespace zelka::engine
