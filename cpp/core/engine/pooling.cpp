#include "core/engine/pooling.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

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
// inputs in row order, as PyTorch's loops take them.  `Stride` is the stride along a row when
// known when compiling (1 or 2, the common ones: their loops vectorise), else 0.
template <int Stride, typename T, typename In, typename Fold>
[[gnu::always_inline]] inline void each_tap(const PoolingShape& s, const In* x, T* y, Fold fold) {
  const std::int64_t stride = Stride ? Stride : s.stride_width;
  for (std::int64_t ky = 0; ky < s.kernel_height; ++ky) {
    const Span rows = inside(ky, s.in_height, s.out_height, s.stride_height, s.padding_height);
    for (std::int64_t kx = 0; kx < s.kernel_width; ++kx) {
      const Span columns = inside(kx, s.in_width, s.out_width, stride, s.padding_width);
      for (std::int64_t c = 0; c < s.channels; ++c)
        for (std::int64_t oy = rows.first; oy < rows.end; ++oy) {
          const In* __restrict in =
              x + (c * s.in_height + oy * s.stride_height - s.padding_height + ky) * s.in_width +
              kx - s.padding_width;
          T* __restrict out = y + (c * s.out_height + oy) * s.out_width;
          for (std::int64_t ox = columns.first; ox < columns.end; ++ox)
            fold(out[ox], in[ox * stride]);
        }
    }
  }
}

template <typename T, typename In, typename Fold>
[[gnu::always_inline]] inline void each_tap(const PoolingShape& s, const In* x, T* y, Fold fold) {
  if (s.stride_width == 1)
    each_tap<1>(s, x, y, fold);
  else if (s.stride_width == 2)
    each_tap<2>(s, x, y, fold);
  else
    each_tap<0>(s, x, y, fold);
}

// The running largest value after meeting v.  A NaN wins: once the largest is NaN no value
// is greater, and a NaN value replaces it.
//
// The choice is made on the values' bits, which keeps it free of branches also where the
// loop is not vectorised (rows shorter than a vector): a branch on data this random is
// mispredicted a third of the time.
template <typename T>
[[gnu::always_inline]] inline T larger(T largest, T v) {
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  const Bits take = Bits(0) - static_cast<Bits>((v > largest) | (v != v));
  return std::bit_cast<T>((std::bit_cast<Bits>(v) & take) | (std::bit_cast<Bits>(largest) & ~take));
}

// Windows of 2x2 taken with a stride of 2 and no padding (the usual pooling): each output's
// four inputs folded in row order in registers, output row by output row.  `fold(a, b, c, d)`
// gives the output of the window whose rows are (a, b) and (c, d).
bool is_plain_2x2(const PoolingShape& s) {
  return s.kernel_height == 2 && s.kernel_width == 2 && s.stride_height == 2 &&
         s.stride_width == 2 && s.padding_height == 0 && s.padding_width == 0;
}

template <typename T, typename In, typename Fold>
[[gnu::always_inline]] inline void each_2x2(const PoolingShape& s, const In* x, T* y, Fold fold) {
  for (std::int64_t c = 0; c < s.channels; ++c)
    for (std::int64_t oy = 0; oy < s.out_height; ++oy) {
      const In* __restrict top = x + (c * s.in_height + 2 * oy) * s.in_width;
      const In* __restrict bottom = top + s.in_width;
      T* __restrict out = y + (c * s.out_height + oy) * s.out_width;
      for (std::int64_t ox = 0; ox < s.out_width; ++ox)
        out[ox] = fold(top[2 * ox], top[2 * ox + 1], bottom[2 * ox], bottom[2 * ox + 1]);
    }
}

// Plain 2x2 max pooling of an input of even width in two passes over blocks of rows, which
// keep the row order of each window (the running largest is associative: the last NaN, else
// the first largest value): the largest of each horizontal pair, one long vectorised pass over
// the block's inputs, then the larger of each window's top and bottom pair.
template <typename T>
[[gnu::always_inline]] inline void max_pool_2x2_even(const PoolingShape& s, const T* x, T* y) {
  constexpr std::int64_t block = 1024;  // pairs held at once
  const std::int64_t ow = s.out_width, rows = s.channels * s.out_height;
  const std::int64_t rows_per_block = std::max<std::int64_t>(1, block / (2 * ow));
  T pairs[block];
  for (std::int64_t r0 = 0; r0 < rows; r0 += rows_per_block) {
    const std::int64_t count = std::min(rows_per_block, rows - r0);
    const T* __restrict in = x + r0 * 4 * ow;  // two input rows of 2 * ow per output row
    T* __restrict pair = pairs;
    for (std::int64_t j = 0; j < count * 2 * ow; ++j) pair[j] = larger(in[2 * j], in[2 * j + 1]);
    T* __restrict out = y + r0 * ow;
    for (std::int64_t r = 0; r < count; ++r)
      for (std::int64_t ox = 0; ox < ow; ++ox)
        out[r * ow + ox] = larger(pair[2 * r * ow + ox], pair[(2 * r + 1) * ow + ox]);
  }
}

template <typename T>
[[gnu::always_inline]] inline void max_pool_of(const PoolingShape& s, const T* x, T* y) {
  if (is_plain_2x2(s) && s.in_width == 2 * s.out_width && s.in_height == 2 * s.out_height &&
      2 * s.out_width <= 1024) {
    max_pool_2x2_even(s, x, y);
    return;
  }
  if (is_plain_2x2(s)) {
    // from -inf, the first input's own value (-inf itself, or a NaN) is the first largest
    each_2x2(s, x, y, [](T a, T b, T c, T d) { return larger(larger(larger(a, b), c), d); });
    return;
  }
  std::fill_n(y, s.output_size(), -std::numeric_limits<T>::infinity());
  each_tap(s, x, y, [](T& out, T v) { out = larger(out, v); });
}

template <typename T>
[[gnu::always_inline]] inline void avg_pool_of(const PoolingShape& s, const T* x, T* y) {
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

#define ZELKA_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))

ZELKA_VECTOR_CLONES void max_pool(const PoolingShape& s, const float* x, float* y) {
  max_pool_of(s, x, y);
}
ZELKA_VECTOR_CLONES void max_pool(const PoolingShape& s, const double* x, double* y) {
  max_pool_of(s, x, y);
}

ZELKA_VECTOR_CLONES void max_pool_spikes(const PoolingShape& s, const float* spikes, float* y) {
  if (is_plain_2x2(s)) {
    each_2x2(s, spikes, y, [](float a, float b, float c, float d) {
      return (a != 0.0f) | (b != 0.0f) | (c != 0.0f) | (d != 0.0f) ? 1.0f : 0.0f;
    });
    return;
  }
  std::fill_n(y, s.output_size(), 0.0f);
  each_tap(s, spikes, y, [](float& out, float v) { out = v != 0.0f ? 1.0f : out; });
}

ZELKA_VECTOR_CLONES void avg_pool(const PoolingShape& s, const float* x, float* y) {
  avg_pool_of(s, x, y);
}
ZELKA_VECTOR_CLONES void avg_pool(const PoolingShape& s, const double* x, double* y) {
  avg_pool_of(s, x, y);
}

#undef ZELKA_VECTOR_CLONES

}  // namespace zelka::engine
