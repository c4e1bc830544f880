// 2-D max and average pooling of one sample as PyTorch computes them (windows that fit the
// padded input, padding counted in the average).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zelka::engine {

struct PoolingShape {
  std::int64_t channels = 0, in_height = 0, in_width = 0;
  std::int64_t out_height = 0, out_width = 0;
  std::int64_t kernel_height = 1, kernel_width = 1;
  std::int64_t stride_height = 1, stride_width = 1;
  std::int64_t padding_height = 0, padding_width = 0;

  std::int64_t input_size() const { return channels * in_height * in_width; }
  std::int64_t output_size() const { return channels * out_height * out_width; }
};

// Fills the output extent from the input and window, or returns why they do not fit (PyTorch
// takes padding up to half the window only).
std::optional<std::string> fit_pooling(PoolingShape& shape);

// The largest value of each window; a NaN in a window is its result.  Padding takes no part.
void max_pool(const PoolingShape& shape, const float* x, float* y);
void max_pool(const PoolingShape& shape, const double* x, double* y);

// Max pooling of spikes (each exactly 0 or 1): 1 where any input of the window fired, which
// is the window's largest value.
void max_pool_spikes(const PoolingShape& shape, const float* spikes, float* y);

// The sum of each window's inputs, in row order from +0.0, divided by the window's size in
// the padded input.
void avg_pool(const PoolingShape& shape, const float* x, float* y);
void avg_pool(const PoolingShape& shape, const double* x, double* y);

}  // namespace zelka::engine
