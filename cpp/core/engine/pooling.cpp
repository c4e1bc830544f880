#include "core/engine/pooling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zelka::engine {
namespace {

// The size of output (oy, ox)'s window in the padded input (the divisor of its average).
std::int64_t padded_window_size(const PoolingShape& s, std::int64_t oy, std::int64_t ox) {
  const std::int64_t top = oy * s.stride_height - s.padding_height;
  const std::int64_t left = ox * s.stride_width - s.padding_width;
  const std::int64_t bottom = std::min(top + s.kernel_height, s.in_height + s.padding_height);
  const std::int64_t right = std::min(left + s.kernel_width, s.in_width + s.padding_width);
  return (bottom - top) * (right - left);
}

// The outputs [first, end) along one axis whose tap k (of the window) lies inside the input.
struct Span {
  std::int64_t first, end;
};

Span inside(std::int64_t k, std::int64_t in, std::int64_t out, std::int64_t stride,
            std::int64_t padding) {
  const std::int64_t offset = k - padding;  // the input index of output 0's tap
  const std::int64_t first = offset >= 0 ? 0 : (-offset + stride - 1) / stride;
  const std::int64_t last = in - 1 - offset;
  return {first, last < 0 ? 0 : std::min(out, last / stride + 1)};
}

// For each window tap (ky, kx) in row order, calls fold(out, in) for every output of every
// channel whose input at that tap lies inside the image.  Each output thus meets its window's
// inputs in row order, as PyTorch's loops take them.
template <typename T, typename In, typename Fold>
void each_tap(const PoolingShape& s, const In* x, T* y, Fold fold) {
  for (std::int64_t ky = 0; ky < s.kernel_height; ++ky) {
    const Span rows = inside(ky, s.in_height, s.out_height, s.stride_height, s.padding_height);
    for (std::int64_t kx = 0; kx < s.kernel_width; ++kx) {
      const Span columns = inside(kx, s.in_width, s.out_width, s.stride_width, s.padding_width);
      for (std::int64_t c = 0; c < s.channels; ++c)
        for (std::int64_t oy = rows.first; oy < rows.end; ++oy) {
          const In* in =
              x + (c * s.in_height + oy * s.stride_height - s.padding_height + ky) * s.in_width +
              kx - s.padding_width;
          T* out = y + (c * s.out_height + oy) * s.out_width;
          for (std::int64_t ox = columns.first; ox < columns.end; ++ox)
            fold(out[ox], in[ox * s.stride_width]);
        }
    }
  }
}

template <typename T>
void max_pool_of(const PoolingShape& s, const T* x, T* y) {
  std::fill_n(y, s.output_size(), -std::numeric_limits<T>::infinity());
  // A NaN wins: once the largest is NaN no value is greater, and a NaN value replaces it.
  each_tap(s, x, y, [](T& out, T v) { out = (v > out) | (v != v) ? v : out; });
}

template <typename T>
void avg_pool_of(const PoolingShape& s, const T* x, T* y) {
  std::fill_n(y, s.output_size(), T(0));
  each_tap(s, x, y, [](T& out, T v) { out += v; });
  for (std::int64_t c = 0; c < s.channels; ++c)
    for (std::int64_t oy = 0; oy < s.out_height; ++oy)
      for (std::int64_t ox = 0; ox < s.out_width; ++ox)
        y[(c * s.out_height + oy) * s.out_width + ox] /=
            static_cast<T>(padded_window_size(s, oy, ox));
}

}  // namespace

std::optional<std::string> fit_pooling(PoolingShape& s) {
  if (2 * s.padding_height > s.kernel_height || 2 * s.padding_width > s.kernel_width)
    return std::string("its padding is more than half its window");
  if (s.in_height + 2 * s.padding_height < s.kernel_height ||
      s.in_width + 2 * s.padding_width < s.kernel_width)
    return std::string("its window is larger than the padded input");
  s.out_height = (s.in_height + 2 * s.padding_height - s.kernel_height) / s.stride_height + 1;
  s.out_width = (s.in_width + 2 * s.padding_width - s.kernel_width) / s.stride_width + 1;
  return std::nullopt;
}

void max_pool(const PoolingShape& s, const float* x, float* y) {
  max_pool_of(s, x, y);
}
void max_pool(const PoolingShape& s, const double* x, double* y) {
  max_pool_of(s, x, y);
}

void max_pool_spikes(const PoolingShape& s, const float* spikes, float* y) {
  std::fill_n(y, s.output_size(), 0.0f);
  each_tap(s, spikes, y, [](float& out, float v) { out = v != 0.0f ? 1.0f : out; });
}

void avg_pool(const PoolingShape& s, const float* x, float* y) {
  avg_pool_of(s, x, y);
}
void avg_pool(const PoolingShape& s, const double* x, double* y) {
  avg_pool_of(s, x, y);
}

}  // namespace zelka::engine
