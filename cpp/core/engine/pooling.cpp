#include "core/engine/pooling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zelka::engine {
namespace {

// The window of output (oy, ox) clipped to the input: rows [top, bottom), columns
// [left, right), and its size in the padded input.
struct Window {
  std::int64_t top, bottom, left, right, padded_size;
};

Window window(const PoolingShape& s, std::int64_t oy, std::int64_t ox) {
  const std::int64_t top = oy * s.stride_height - s.padding_height;
  const std::int64_t left = ox * s.stride_width - s.padding_width;
  const std::int64_t bottom = std::min(top + s.kernel_height, s.in_height + s.padding_height);
  const std::int64_t right = std::min(left + s.kernel_width, s.in_width + s.padding_width);
  return {std::max<std::int64_t>(top, 0), std::min(bottom, s.in_height),
          std::max<std::int64_t>(left, 0), std::min(right, s.in_width),
          (bottom - top) * (right - left)};
}

// Calls reduce(plane, window) -> value for every channel and output position.
template <typename T, typename In, typename Reduce>
void each_window(const PoolingShape& s, const In* x, T* y, Reduce reduce) {
  for (std::int64_t c = 0; c < s.channels; ++c) {
    const In* plane = x + c * s.in_height * s.in_width;
    T* out = y + c * s.out_height * s.out_width;
    for (std::int64_t oy = 0; oy < s.out_height; ++oy)
      for (std::int64_t ox = 0; ox < s.out_width; ++ox)
        out[oy * s.out_width + ox] = reduce(plane, window(s, oy, ox));
  }
}

template <typename T>
void max_pool_of(const PoolingShape& s, const T* x, T* y) {
  each_window(s, x, y, [&](const T* plane, const Window& w) {
    T largest = -std::numeric_limits<T>::infinity();
    for (std::int64_t iy = w.top; iy < w.bottom; ++iy)
      for (std::int64_t ix = w.left; ix < w.right; ++ix) {
        const T v = plane[iy * s.in_width + ix];
        if (v > largest || std::isnan(v)) largest = v;
      }
    return largest;
  });
}

template <typename T>
void avg_pool_of(const PoolingShape& s, const T* x, T* y) {
  each_window(s, x, y, [&](const T* plane, const Window& w) {
    T sum = 0;
    for (std::int64_t iy = w.top; iy < w.bottom; ++iy)
      for (std::int64_t ix = w.left; ix < w.right; ++ix) sum += plane[iy * s.in_width + ix];
    return sum / static_cast<T>(w.padded_size);
  });
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
  each_window(s, spikes, y, [&](const float* plane, const Window& w) {
    for (std::int64_t iy = w.top; iy < w.bottom; ++iy)
      for (std::int64_t ix = w.left; ix < w.right; ++ix)
        if (plane[iy * s.in_width + ix] != 0.0f) return 1.0f;
    return 0.0f;
  });
}

void avg_pool(const PoolingShape& s, const float* x, float* y) {
  avg_pool_of(s, x, y);
}
void avg_pool(const PoolingShape& s, const double* x, double* y) {
  avg_pool_of(s, x, y);
}

}  // namespace zelka::engine
