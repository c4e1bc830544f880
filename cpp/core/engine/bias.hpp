// The Affine layer's element-wise passes after its product: the bias added, and the sums
// clipped to the layer's precision.  Vector kernels (AVX-512 or AVX2 where the machine has
// them), each element computed as one IEEE operation like numpy's.
#pragma once

#include <cstdint>

#include "core/numeric/saturate.hpp"

namespace zelka::engine {

// out[r] = clip(R(product[r]) + bias[r], bounds) for the `rows` rows (product in type P, the
// sum in R), in one pass.  Clipping a NaN raises the invalid-operation flag, which numpy's
// clip does not: a caller that reports flags as numpy does replays such a step through numpy.
void add_bias_clipped(const float* product, const float* bias, float* out, std::int64_t rows,
                      numeric::Bounds<float> bounds);
void add_bias_clipped(const float* product, const double* bias, double* out, std::int64_t rows,
                      numeric::Bounds<double> bounds);
void add_bias_clipped(const double* product, const float* bias, float* out, std::int64_t rows,
                      numeric::Bounds<float> bounds);
void add_bias_clipped(const double* product, const double* bias, double* out, std::int64_t rows,
                      numeric::Bounds<double> bounds);

// out[r] = clip(out[r], bounds) (NaN stays NaN).
void clip_rows(float* out, std::int64_t rows, numeric::Bounds<float> bounds);
void clip_rows(double* out, std::int64_t rows, numeric::Bounds<double> bounds);

}  // namespace zelka::engine
