// The Affine layer's element-wise passes after its product: the bias added, and the sums
// clipped to the layer's precision.  Vector kernels (AVX-512 or AVX2 where the machine has
// them), each element computed as one IEEE operation like numpy's.
#pragma once

#include <cstdint>

#include "core/numeric/saturate.hpp"

namespace zelka::engine {

// For each of `samples` samples k: out_k[r] = clip(R(product_k[r]) + bias[r], bounds) for
// the `rows` rows, where product_k = product + k * product_stride and out_k = out + k *
// out_stride (product in type P, the sum in R); each sample in one pass.  Clipping a NaN
// raises the invalid-operation flag, which numpy's clip does not: a caller that reports
// flags as numpy does replays such a step through numpy.
void add_bias_clipped(const float* product, std::int64_t product_stride, const float* bias,
                      float* out, std::int64_t out_stride, std::int64_t rows, std::int64_t samples,
                      numeric::Bounds<float> bounds);
void add_bias_clipped(const float* product, std::int64_t product_stride, const double* bias,
                      double* out, std::int64_t out_stride, std::int64_t rows, std::int64_t samples,
                      numeric::Bounds<double> bounds);
void add_bias_clipped(const double* product, std::int64_t product_stride, const float* bias,
                      float* out, std::int64_t out_stride, std::int64_t rows, std::int64_t samples,
                      numeric::Bounds<float> bounds);
void add_bias_clipped(const double* product, std::int64_t product_stride, const double* bias,
                      double* out, std::int64_t out_stride, std::int64_t rows, std::int64_t samples,
                      numeric::Bounds<double> bounds);

// out[r] = clip(out[r], bounds) (NaN stays NaN).
void clip_rows(float* out, std::int64_t rows, numeric::Bounds<float> bounds);
void clip_rows(double* out, std::int64_t rows, numeric::Bounds<double> bounds);

}  // namespace zelka::engine
