#include "core/engine/convolution.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace zelka::engine {
namespace {

// The extent of one axis: floor((in + 2 padding - dilation (kernel - 1) - 1) / stride) + 1,
// or nothing when the dilated kernel is larger than the padded input.
std::optional<std::int64_t> extent(std::int64_t in, std::int64_t kernel, std::int64_t stride,
                                   std::int64_t padding, std::int64_t dilation) {
  const std::int64_t span = dilation * (kernel - 1) + 1;
  if (in + 2 * padding < span) return std::nullopt;
  return (in + 2 * padding - span) / stride + 1;
}

// y[oc, p] = acc[p, oc] (+ bias[oc]): the position-major sums back in channel-major order,
// read position by position (the sums in the order they lie) and written as one stream per
// output channel.
template <typename T>
[[gnu::always_inline]] inline void write_channels(const ConvolutionShape& s, const T* acc,
                                                  const T* bias, T* y) {
  const std::int64_t positions = s.out_positions(), out_pg = s.out_per_group();
  const std::int64_t lanes = s.lanes(), stride = s.groups * lanes;
  for (std::int64_t p = 0; p < positions; ++p) {
    const T* sums = acc + p * stride;
    for (std::int64_t g = 0; g < s.groups; ++g)
      for (std::int64_t o = 0; o < out_pg; ++o) {
        const std::int64_t oc = g * out_pg + o;
        const T sum = sums[g * lanes + o];
        y[oc * positions + p] = bias ? sum + bias[oc] : sum;
      }
  }
}

// acc[o] += w[o] * v over whole vectors of 16: the loops the compiler vectorises.
template <typename T>
[[gnu::always_inline]] inline void add_scaled(T* acc, const T* w, T v, std::int64_t lanes) {
  for (std::int64_t o = 0; o < lanes; o += 16)
    for (std::int64_t j = 0; j < 16; ++j) acc[o + j] += w[o + j] * v;
}

template <typename T>
[[gnu::always_inline]] inline void add_slice(T* acc, const T* w, std::int64_t lanes) {
  for (std::int64_t o = 0; o < lanes; o += 16)
    for (std::int64_t j = 0; j < 16; ++j) acc[o + j] += w[o + j];
}

// For every input row (or column) the kernel taps that reach an output from it, in kernel
// order: taps[first[i] .. first[i + 1]) as (tap, output index) pairs.  Rebuilt for each call
// in the vectors of the calling thread, which keep their room from call to call.
struct Reach {
  std::vector<std::int64_t> first;
  std::vector<std::pair<std::int64_t, std::int64_t>> taps;

  void build(std::int64_t in, std::int64_t out, std::int64_t kernel, std::int64_t stride,
             std::int64_t padding, std::int64_t dilation) {
    first.clear();
    taps.clear();
    for (std::int64_t i = 0; i < in; ++i) {
      first.push_back(static_cast<std::int64_t>(taps.size()));
      for (std::int64_t k = 0; k < kernel; ++k) {
        const std::int64_t at = i + padding - k * dilation;
        if (at >= 0 && at % stride == 0 && at / stride < out) taps.emplace_back(k, at / stride);
      }
    }
    first.push_back(static_cast<std::int64_t>(taps.size()));
  }
};

template <typename T>
[[gnu::always_inline]] inline void dense_sums(const ConvolutionShape& s, const T* laid_out,
                                              const T* x, T* acc) {
  const std::int64_t in_pg = s.in_per_group(), k = s.kernel_size(), lanes = s.lanes();
  std::fill_n(acc, s.scratch_size(), T(0));
  for (std::int64_t oy = 0; oy < s.out_height; ++oy)
    for (std::int64_t ox = 0; ox < s.out_width; ++ox)
      for (std::int64_t g = 0; g < s.groups; ++g) {
        T* sums = acc + ((oy * s.out_width + ox) * s.groups + g) * lanes;
        for (std::int64_t c = g * in_pg; c < (g + 1) * in_pg; ++c) {
          const T* plane = x + c * s.in_height * s.in_width;
          const T* slices = laid_out + c * k * lanes;
          for (std::int64_t ky = 0; ky < s.kernel_height; ++ky) {
            const std::int64_t iy =
                oy * s.stride_height - s.padding_height + ky * s.dilation_height;
            if (iy < 0 || iy >= s.in_height) continue;  // zero padding adds nothing
            for (std::int64_t kx = 0; kx < s.kernel_width; ++kx) {
              const std::int64_t ix = ox * s.stride_width - s.padding_width + kx * s.dilation_width;
              if (ix < 0 || ix >= s.in_width) continue;
              add_scaled(sums, slices + (ky * s.kernel_width + kx) * lanes,
                         plane[iy * s.in_width + ix], lanes);
            }
          }
        }
      }
}

// `Vectors`: the lanes in vectors of 16 when known when compiling (the common channel counts,
// whose slices are then added without a loop), else 0.
template <int Vectors, typename T>
[[gnu::always_inline]] inline void spike_sums(const ConvolutionShape& s, const T* laid_out,
                                              const float* spikes, T* acc) {
  const std::int64_t in_pg = s.in_per_group(), k = s.kernel_size();
  const std::int64_t lanes = Vectors ? Vectors * 16 : s.lanes();
  const std::int64_t step = s.groups * lanes;  // from one output position to the next
  std::fill_n(acc, s.scratch_size(), T(0));
  thread_local Reach rows, columns;
  rows.build(s.in_height, s.out_height, s.kernel_height, s.stride_height, s.padding_height,
             s.dilation_height);
  columns.build(s.in_width, s.out_width, s.kernel_width, s.stride_width, s.padding_width,
                s.dilation_width);
  // With unit stride and dilation along a row, the taps that reach an output from column ix
  // are kx in [ix + padding - out_width + 1, ix + padding], output ix + padding - kx.
  const bool unit_columns = s.stride_width == 1 && s.dilation_width == 1;
  // Inputs in (channel, row, column) order reach each output in (channel, kernel row, kernel
  // column) order: the dense kernel's order of summation.
  for (std::int64_t c = 0; c < s.in_channels; ++c) {
    const float* plane = spikes + c * s.in_height * s.in_width;
    const T* slices = laid_out + c * k * lanes;
    T* group_sums = acc + (c / in_pg) * lanes;
    for (std::int64_t iy = 0; iy < s.in_height; ++iy)
      for (std::int64_t ix = 0; ix < s.in_width; ++ix) {
        if (plane[iy * s.in_width + ix] == 0.0f) continue;
        for (std::int64_t r = rows.first[iy]; r < rows.first[iy + 1]; ++r) {
          const auto [ky, oy] = rows.taps[r];
          T* row_sums = group_sums + oy * s.out_width * step;
          const T* row_slices = slices + ky * s.kernel_width * lanes;
          if (unit_columns) {
            const std::int64_t reach = ix + s.padding_width;
            const std::int64_t first = std::max<std::int64_t>(0, reach - s.out_width + 1);
            const std::int64_t last = std::min(s.kernel_width - 1, reach);
            for (std::int64_t kx = first; kx <= last; ++kx)
              add_slice(row_sums + (reach - kx) * step, row_slices + kx * lanes, lanes);
            continue;
          }
          for (std::int64_t q = columns.first[ix]; q < columns.first[ix + 1]; ++q) {
            const auto [kx, ox] = columns.taps[q];
            add_slice(row_sums + ox * step, row_slices + kx * lanes, lanes);
          }
        }
      }
  }
}

}  // namespace

std::optional<std::string> fit_convolution(ConvolutionShape& s) {
  if (s.groups < 1 || s.in_channels % s.groups != 0 || s.out_channels % s.groups != 0)
    return "groups=" + std::to_string(s.groups) + " must divide its " +
           std::to_string(s.in_channels) + " input and " + std::to_string(s.out_channels) +
           " output channels";
  const auto height =
      extent(s.in_height, s.kernel_height, s.stride_height, s.padding_height, s.dilation_height);
  const auto width =
      extent(s.in_width, s.kernel_width, s.stride_width, s.padding_width, s.dilation_width);
  if (!height || !width) return std::string("its kernel is larger than the padded input");
  s.out_height = *height;
  s.out_width = *width;
  return std::nullopt;
}

template <typename T>
void weights_by_output_channel(const ConvolutionShape& s, const T* weight, T* laid_out) {
  const std::int64_t in_pg = s.in_per_group(), out_pg = s.out_per_group(), k = s.kernel_size();
  std::fill_n(laid_out, s.laid_out_size(), T(0));
  for (std::int64_t oc = 0; oc < s.out_channels; ++oc) {
    const std::int64_t g = oc / out_pg, o = oc % out_pg;
    for (std::int64_t i = 0; i < in_pg; ++i)
      for (std::int64_t at = 0; at < k; ++at)
        laid_out[((g * in_pg + i) * k + at) * s.lanes() + o] = weight[(oc * in_pg + i) * k + at];
  }
}
template void weights_by_output_channel(const ConvolutionShape&, const float*, float*);
template void weights_by_output_channel(const ConvolutionShape&, const double*, double*);

#define ZELKA_CONVOLUTION_KERNELS(T)                                                               \
  __attribute__((target_clones("avx512f", "avx2", "default"))) void convolve(                      \
      const ConvolutionShape& s, const T* laid_out, const T* bias, const T* x, T* y, T* scratch) { \
    dense_sums(s, laid_out, x, scratch);                                                           \
    write_channels(s, scratch, bias, y);                                                           \
  }                                                                                                \
  __attribute__((target_clones("avx512f", "avx2", "default"))) void convolve_spikes(               \
      const ConvolutionShape& s, const T* laid_out, const T* bias, const float* spikes, T* y,      \
      T* scratch) {                                                                                \
    switch (s.lanes() / 16) {                                                                      \
      case 1:                                                                                      \
        spike_sums<1>(s, laid_out, spikes, scratch);                                               \
        break;                                                                                     \
      case 2:                                                                                      \
        spike_sums<2>(s, laid_out, spikes, scratch);                                               \
        break;                                                                                     \
      case 4:                                                                                      \
        spike_sums<4>(s, laid_out, spikes, scratch);                                               \
        break;                                                                                     \
      default:                                                                                     \
        spike_sums<0>(s, laid_out, spikes, scratch);                                               \
    }                                                                                              \
    write_channels(s, scratch, bias, y);                                                           \
  }
ZELKA_CONVOLUTION_KERNELS(float)
ZELKA_CONVOLUTION_KERNELS(double)
#undef ZELKA_CONVOLUTION_KERNELS

}  // namespace zelka::engine
