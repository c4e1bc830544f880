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

// For every output row of every channel, calls fold(out_row, in, first, end) for each window
// position (ky, kx) in row order with the outputs [first, end) whose input at that position
// lies inside the image, `in` pointing at output 0's (so output ox reads in[ox * stride]).
// Each output thus meets its window's inputs in row order, as PyTorch's loops take them.
template <typename T, typename In, typename Fold>
void each_tap(const PoolingShape& s, const In* x, T* y, Fold fold) {
  const auto ceil_div = [](std::int64_t a, std::int64_t b) { return a <= 0 ? 0 : (a + b - 1) / b; };
  for (std::int64_t c = 0; c < s.channels; ++c) {
    const In* plane = x + c * s.in_height * s.in_width;
    for (std::int64_t oy = 0; oy < s.out_height; ++oy) {
      T* out = y + (c * s.out_height + oy) * s.out_width;
      for (std::int64_t ky = 0; ky < s.kernel_height; ++ky) {
        const std::int64_t iy = oy * s.stride_height - s.padding_height + ky;
        if (iy < 0 || iy >= s.in_height) continue;
        for (std::int64_t kx = 0; kx < s.kernel_width; ++kx) {
          const std::int64_t offset = kx - s.padding_width;  // column of output 0's tap
          const std::int64_t first = ceil_div(-offset, s.stride_width);
          const std::int64_t last = s.in_width - 1 - offset;  // of output 0's column
          const std::int64_t end = last < 0 ? 0 : std::min(s.out_width, last / s.stride_width + 1);
          fold(out, plane + iy * s.in_width + offset, first, end);
        }
      }
    }
  }
}

template <typename T>
void max_pool_of(const PoolingShape& s, const T* x, T* y) {
  std::fill_n(y, s.output_size(), -std::numeric_limits<T>::infinity());
  const std::int64_t stride = s.stride_width;
  // A NaN wins: once the largest is NaN no value is greater, and a NaN value replaces it.
  each_tap(s, x, y, [stride](T* out, const T* in, std::int64_t first, std::int64_t end) {
    for (std::int64_t ox = first; ox < end; ++ox) {
      const T v = in[ox * stride];
      out[ox] = (v > out[ox]) | (v != v) ? v : out[ox];
    }
  });
}

template <typename T>
void avg_pool_of(const PoolingShape& s, const T* x, T* y) {
  std::fill_n(y, s.output_size(), T(0));
  const std::int64_t stride = s.stride_width;
  each_tap(s, x, y, [stride](T* out, const T* in, std::int64_t first, std::int64_t end) {
    for (std::int64_t ox = first; ox < end; ++ox) out[ox] += in[ox * stride];
  });
  for (std::int64_t c = 0; c < s.channels; ++c)
    for (std::int64_t oy = 0; oy < s.out_height; ++oy)
      for (std::int64_t ox = 0; ox < s.out_width; ++ox)
        y[(c * s.out_height + oy) * s.out_width + ox] /=
            static_cast<T>(window(s, oy, ox).padded_size);
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
  const std::int64_t stride = s.stride_width;
  each_tap(s, spikes, y,
           [stride](float* out, const float* in, std::int64_t first, std::int64_t end) {
             for (std::int64_t ox = first; ox < end; ++ox)
               out[ox] = in[ox * stride] != 0.0f ? 1.0f : out[ox];
           });
}

void avg_pool(const PoolingShape& s, const float* x, float* y) {
  avg_pool_of(s, x, y);
}
void avg_pool(const PoolingShape& s, const double* x, double* y) {
  avg_pool_of(s, x, y);
}

}  // namespace zelka::engine
