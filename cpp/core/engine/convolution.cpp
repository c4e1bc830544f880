#include "core/engine/convolution.hpp"

#include <algorithm>

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

// y[oc, p] = acc[p, oc] (+ bias[oc]): the position-major sums back in channel-major order.
template <typename T>
void write_channels(const ConvolutionShape& s, const T* acc, const T* bias, T* y) {
  const std::int64_t positions = s.out_positions(), channels = s.out_channels;
  for (std::int64_t oc = 0; oc < channels; ++oc) {
    T* row = y + oc * positions;
    for (std::int64_t p = 0; p < positions; ++p) row[p] = acc[p * channels + oc];
    if (bias)
      for (std::int64_t p = 0; p < positions; ++p) row[p] += bias[oc];
  }
}

// acc[o] += w[o] * v over one group's output channels: the loop the compiler vectorises.
template <typename T>
[[gnu::always_inline]] inline void add_scaled(T* acc, const T* w, T v, std::int64_t n) {
  for (std::int64_t o = 0; o < n; ++o) acc[o] += w[o] * v;
}

template <typename T>
[[gnu::always_inline]] inline void add_slice(T* acc, const T* w, std::int64_t n) {
  for (std::int64_t o = 0; o < n; ++o) acc[o] += w[o];
}

template <typename T>
[[gnu::always_inline]] inline void dense_sums(const ConvolutionShape& s, const T* laid_out,
                                              const T* x, T* acc) {
  const std::int64_t in_pg = s.in_per_group(), out_pg = s.out_per_group(), k = s.kernel_size();
  std::fill_n(acc, s.scratch_size(), T(0));
  for (std::int64_t g = 0; g < s.groups; ++g)
    for (std::int64_t oy = 0; oy < s.out_height; ++oy)
      for (std::int64_t ox = 0; ox < s.out_width; ++ox) {
        T* sums = acc + (oy * s.out_width + ox) * s.out_channels + g * out_pg;
        for (std::int64_t i = 0; i < in_pg; ++i) {
          const T* plane = x + (g * in_pg + i) * s.in_height * s.in_width;
          const T* slices = laid_out + (g * in_pg + i) * k * out_pg;
          for (std::int64_t ky = 0; ky < s.kernel_height; ++ky) {
            const std::int64_t iy =
                oy * s.stride_height - s.padding_height + ky * s.dilation_height;
            if (iy < 0 || iy >= s.in_height) continue;  // zero padding adds nothing
            for (std::int64_t kx = 0; kx < s.kernel_width; ++kx) {
              const std::int64_t ix = ox * s.stride_width - s.padding_width + kx * s.dilation_width;
              if (ix < 0 || ix >= s.in_width) continue;
              add_scaled(sums, slices + (ky * s.kernel_width + kx) * out_pg,
                         plane[iy * s.in_width + ix], out_pg);
            }
          }
        }
      }
}

template <typename T>
[[gnu::always_inline]] inline void spike_sums(const ConvolutionShape& s, const T* laid_out,
                                              const float* spikes, T* acc) {
  const std::int64_t in_pg = s.in_per_group(), out_pg = s.out_per_group(), k = s.kernel_size();
  std::fill_n(acc, s.scratch_size(), T(0));
  // Inputs in (channel, row, column) order reach each output in (channel, kernel row, kernel
  // column) order: the dense kernel's order of summation.
  for (std::int64_t c = 0; c < s.in_channels; ++c) {
    const std::int64_t g = c / in_pg;
    const float* plane = spikes + c * s.in_height * s.in_width;
    const T* slices = laid_out + c * k * out_pg;
    for (std::int64_t iy = 0; iy < s.in_height; ++iy)
      for (std::int64_t ix = 0; ix < s.in_width; ++ix) {
        if (plane[iy * s.in_width + ix] == 0.0f) continue;
        for (std::int64_t ky = 0; ky < s.kernel_height; ++ky) {
          const std::int64_t row = iy + s.padding_height - ky * s.dilation_height;
          if (row < 0) break;
          if (row % s.stride_height != 0 || row / s.stride_height >= s.out_height) continue;
          for (std::int64_t kx = 0; kx < s.kernel_width; ++kx) {
            const std::int64_t column = ix + s.padding_width - kx * s.dilation_width;
            if (column < 0) break;
            if (column % s.stride_width != 0 || column / s.stride_width >= s.out_width) continue;
            const std::int64_t p = (row / s.stride_height) * s.out_width + column / s.stride_width;
            add_slice(acc + p * s.out_channels + g * out_pg,
                      slices + (ky * s.kernel_width + kx) * out_pg, out_pg);
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
  for (std::int64_t oc = 0; oc < s.out_channels; ++oc) {
    const std::int64_t g = oc / out_pg, o = oc % out_pg;
    for (std::int64_t i = 0; i < in_pg; ++i)
      for (std::int64_t at = 0; at < k; ++at)
        laid_out[((g * in_pg + i) * k + at) * out_pg + o] = weight[(oc * in_pg + i) * k + at];
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
    spike_sums(s, laid_out, spikes, scratch);                                                      \
    write_channels(s, scratch, bias, y);                                                           \
  }
ZELKA_CONVOLUTION_KERNELS(float)
ZELKA_CONVOLUTION_KERNELS(double)
#undef ZELKA_CONVOLUTION_KERNELS

}  // namespace zelka::engine
