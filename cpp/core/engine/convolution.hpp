// The convolution of one sample as PyTorch defines it (zero padding, stride, dilation,
// groups), a 1-D convolution being a 2-D one of height 1.  Each output is the sum, from
// +0.0, of weight x input over (input channel, kernel row, kernel column) in that order,
// then the bias: the dense kernel and the one for spike inputs form the very same sums, so
// they agree to the bit wherever the weights are finite.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zelka::engine {

struct ConvolutionShape {
  std::int64_t in_channels = 0, in_height = 1, in_width = 0;
  std::int64_t out_channels = 0, out_height = 1, out_width = 0;
  std::int64_t kernel_height = 1, kernel_width = 0;
  std::int64_t stride_height = 1, stride_width = 1;
  std::int64_t padding_height = 0, padding_width = 0;
  std::int64_t dilation_height = 1, dilation_width = 1;
  std::int64_t groups = 1;

  std::int64_t in_per_group() const { return in_channels / groups; }
  std::int64_t out_per_group() const { return out_channels / groups; }
  std::int64_t kernel_size() const { return kernel_height * kernel_width; }
  std::int64_t out_positions() const { return out_height * out_width; }
  std::int64_t input_size() const { return in_channels * in_height * in_width; }
  std::int64_t output_size() const { return out_channels * out_positions(); }
  // A group's output channels rounded up to whole vectors of 16 (the padding holds zeros),
  // so that the kernels' inner loops run over whole vectors.
  std::int64_t lanes() const { return (out_per_group() + 15) / 16 * 16; }
  // Elements of the weights laid out by weights_by_output_channel.
  std::int64_t laid_out_size() const { return in_channels * kernel_size() * lanes(); }
  // Elements of scratch space the kernels need: the sums, position by position.
  std::int64_t scratch_size() const { return out_positions() * groups * lanes(); }
};

// Fills the output extent of `shape` from its input and kernel settings, or returns why they
// do not fit (a kernel larger than the padded input, channels that groups do not divide).
std::optional<std::string> fit_convolution(ConvolutionShape& shape);

// The weight [out_channels, in_per_group, kernel_height, kernel_width] laid out by input
// channel (group by group) and then by (kernel row, kernel column), each such entry holding
// its group's output channels contiguously in lanes() elements: the layout both kernels
// walk.  `laid_out` holds laid_out_size() elements.
template <typename T>
void weights_by_output_channel(const ConvolutionShape& shape, const T* weight, T* laid_out);

// y [out_channels, out_height, out_width] from x [in_channels, in_height, in_width]; `bias`
// (out_channels values) or null.  `scratch` holds scratch_size() elements.
void convolve(const ConvolutionShape& shape, const float* laid_out, const float* bias,
              const float* x, float* y, float* scratch);
void convolve(const ConvolutionShape& shape, const double* laid_out, const double* bias,
              const double* x, double* y, double* scratch);

// The same for an input of spikes (each exactly 0 or 1): for every input that fired, its
// kernel slice is added to the outputs it reaches.  Only for finite weights.
void convolve_spikes(const ConvolutionShape& shape, const float* laid_out, const float* bias,
                     const float* spikes, float* y, float* scratch);
void convolve_spikes(const ConvolutionShape& shape, const double* laid_out, const double* bias,
                     const float* spikes, double* y, double* scratch);

}  // namespace zelka::engine
