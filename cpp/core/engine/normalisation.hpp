// Batch normalisation of one sample by running statistics, as PyTorch computes it in eval
// mode: per channel alpha = gamma / sqrt(var + eps) and shift = beta - mean * alpha (as one
// fused multiply-add), then y = x * alpha + shift as one fused multiply-add, all in the
// element type (eps rounded to it first).
#pragma once

#include <cstdint>

namespace zelka::engine {

// alpha and shift for `channels` channels; gamma and beta may be null (1 and 0).
void batch_norm_coefficients(std::int64_t channels, const float* mean, const float* var,
                             const float* gamma, const float* beta, double eps, float* alpha,
                             float* shift);
void batch_norm_coefficients(std::int64_t channels, const double* mean, const double* var,
                             const double* gamma, const double* beta, double eps, double* alpha,
                             double* shift);

// y[c, i] = fma(x[c, i], alpha[c], shift[c]) for `channels` runs of `inner` elements.
void batch_norm(const float* x, float* y, std::int64_t channels, std::int64_t inner,
                const float* alpha, const float* shift);
void batch_norm(const double* x, double* y, std::int64_t channels, std::int64_t inner,
                const double* alpha, const double* shift);

}  // namespace zelka::engine
