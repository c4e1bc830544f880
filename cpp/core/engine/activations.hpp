// Element-wise activations of one sample as PyTorch computes them.
#pragma once

#include <cstdint>

namespace zelka::engine {

// With a zero slope torch.relu: 0 where x < 0, else x (so -0.0 and NaN stay as they are);
// otherwise torch's leaky ReLU: x where x > 0, else x * negative_slope, the slope rounded to
// the element type first.
void rectify(const float* x, float* y, std::int64_t n, double negative_slope);
void rectify(const double* x, double* y, std::int64_t n, double negative_slope);

// 1 / (1 + exp(-x)) in the element type.  Float32 values are computed as PyTorch's
// vectorised sigmoid computes them (its float32 exp, 1 + e, the reciprocal), which gives
// its very bits; float64 ones with the C library's exp, within an ulp of PyTorch's.
void logistic(const float* x, float* y, std::int64_t n);
void logistic(const double* x, double* y, std::int64_t n);

// tanh(x), a float32 value computed in float64 and rounded once: within half an ulp (and a
// hair) of the exact value, and so within 1 ulp of PyTorch's.
void hyperbolic_tangent(const float* x, float* y, std::int64_t n);
void hyperbolic_tangent(const double* x, double* y, std::int64_t n);

}  // namespace zelka::engine
