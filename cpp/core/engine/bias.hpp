// The Affine layer's element-wise passes after its product: the bias added, and the sums
// clipped to the layer's precision.  Vector kernels (AVX-512 or AVX2 where the machine has
// them), each element computed as one IEEE operation like numpy's.
#pragma once

#include <cstdint>

#include "core/numeric/saturate.hpp"

namespace zelka::engine {

// out[r] = R(product[r]) + bias[r] for the `rows` rows (product in type P, the sum in R).
void add_bias(const float* product, const float* bias, float* out, std::int64_t rows);
void add_bias(const float* product, const double* bias, double* out, std::int64_t rows);
void add_bias(const double* product, const float* bias, float* out, std::int64_t rows);
void add_bias(const double* product, const double* bias, double* out, std::int64_t rows);

// out[r] = clip(out[r], bounds) (NaN stays NaN).
void clip_rows(float* out, std::int64_t rows, numeric::Bounds<float> bounds);
void clip_rows(double* out, std::int64_t rows, numeric::Bounds<double> bounds);

}  // namespace zelka::engine
