#include "core/engine/normalisation.hpp"

#include <cmath>

namespace zelka::engine {
namespace {

template <typename T>
void coefficients(std::int64_t channels, const T* mean, const T* var, const T* gamma, const T* beta,
                  double eps, T* alpha, T* shift) {
  for (std::int64_t c = 0; c < channels; ++c) {
    const T invstd = T(1) / std::sqrt(var[c] + static_cast<T>(eps));
    alpha[c] = invstd * (gamma ? gamma[c] : T(1));
    shift[c] = std::fma(-mean[c], alpha[c], beta ? beta[c] : T(0));
  }
}

template <typename T>
void normalise(const T* x, T* y, std::int64_t channels, std::int64_t inner, const T* alpha,
               const T* shift) {
  for (std::int64_t c = 0; c < channels; ++c)
    for (std::int64_t i = 0; i < inner; ++i)
      y[c * inner + i] = std::fma(x[c * inner + i], alpha[c], shift[c]);
}

}  // namespace

void batch_norm_coefficients(std::int64_t channels, const float* mean, const float* var,
                             const float* gamma, const float* beta, double eps, float* alpha,
                             float* shift) {
  coefficients(channels, mean, var, gamma, beta, eps, alpha, shift);
}
void batch_norm_coefficients(std::int64_t channels, const double* mean, const double* var,
                             const double* gamma, const double* beta, double eps, double* alpha,
                             double* shift) {
  coefficients(channels, mean, var, gamma, beta, eps, alpha, shift);
}

void batch_norm(const float* x, float* y, std::int64_t channels, std::int64_t inner,
                const float* alpha, const float* shift) {
  normalise(x, y, channels, inner, alpha, shift);
}
void batch_norm(const double* x, double* y, std::int64_t channels, std::int64_t inner,
                const double* alpha, const double* shift) {
  normalise(x, y, channels, inner, alpha, shift);
}

}  // namespace zelka::engine
