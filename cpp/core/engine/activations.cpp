#include "core/engine/activations.hpp"

#include <cmath>
#include <initializer_list>
#include <limits>

namespace zelka::engine {
namespace {

template <typename T>
void rectify_with(const T* x, T* y, std::int64_t n, T slope) {
  if (slope == T(0)) {
    for (std::int64_t i = 0; i < n; ++i) y[i] = x[i] < T(0) ? T(0) : x[i];
    return;
  }
  for (std::int64_t i = 0; i < n; ++i) y[i] = x[i] > T(0) ? x[i] : x[i] * slope;
}

// exp(d) in float32 as PyTorch's vectorised kernels compute it (to 1 ulp): d = q ln 2 + s
// with q = rint(d / ln 2) and s reduced in two fused steps, e^s by a degree-5 polynomial in
// fused multiply-adds, scaled by 2^q in two halves; 0 below -104 and infinity above 100.
float exp_as_vectorised(float d) {
  if (std::isnan(d)) return d;
  if (d < -104.0f) return 0.0f;
  if (d > 100.0f) return std::numeric_limits<float>::infinity();
  const auto q = static_cast<int>(std::nearbyint(d * 1.442695040888963407359924681001892137f));
  const auto qf = static_cast<float>(q);
  float s = std::fma(qf, -0.693145751953125f, d);
  s = std::fma(qf, -1.428606765330187045e-06f, s);
  float u = 0.000198527617612853646278381f;
  for (const float c : {0.00139304355252534151077271f, 0.00833336077630519866943359f,
                        0.0416664853692054748535156f, 0.166666671633720397949219f, 0.5f})
    u = std::fma(u, s, c);
  u = 1.0f + std::fma(s * s, u, s);
  const int half = q >> 1;
  return u * std::ldexp(1.0f, half) * std::ldexp(1.0f, q - half);
}

}  // namespace

void rectify(const float* x, float* y, std::int64_t n, double negative_slope) {
  rectify_with(x, y, n, static_cast<float>(negative_slope));
}
void rectify(const double* x, double* y, std::int64_t n, double negative_slope) {
  rectify_with(x, y, n, negative_slope);
}

void logistic(const float* x, float* y, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) y[i] = 1.0f / (1.0f + exp_as_vectorised(-x[i]));
}
void logistic(const double* x, double* y, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) y[i] = 1.0 / (1.0 + std::exp(-x[i]));
}

void hyperbolic_tangent(const float* x, float* y, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i)
    y[i] = static_cast<float>(std::tanh(static_cast<double>(x[i])));
}
void hyperbolic_tangent(const double* x, double* y, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) y[i] = std::tanh(x[i]);
}

}  // namespace zelka::engine
