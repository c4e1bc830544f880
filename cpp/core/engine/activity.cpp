#include "core/engine/activity.hpp"

#include <algorithm>

namespace zelka::engine {
namespace {

// Values are scanned in blocks: narrow counts vectorise, and an input found to hold another
// value than 0 or 1 (a stimulus of images rather than spikes) stops the scan at once.
constexpr std::int64_t scan_block = 256;

// The nonzero values; with BinaryOnly, not_spikes where a value is neither 0 nor 1.
template <bool BinaryOnly, typename T>
[[gnu::always_inline]] inline std::int64_t nonzero(const T* values, std::int64_t n) {
  std::int64_t total = 0;
  for (std::int64_t start = 0; start < n; start += scan_block) {
    const std::int64_t end = std::min(n, start + scan_block);
    std::uint32_t count = 0, other = 0;
    for (std::int64_t i = start; i < end; ++i) {
      count += values[i] != T{0};
      if constexpr (BinaryOnly) other |= values[i] != T{0} && values[i] != T{1};
    }
    if (other) return not_spikes;
    total += count;
  }
  return total;
}

template <bool BinaryOnly, typename T>
[[gnu::always_inline]] inline std::int64_t weighted(const T* values, std::int64_t n,
                                                    const std::int64_t* fan_out) {
  std::int64_t total = 0;
  for (std::int64_t start = 0; start < n; start += scan_block) {
    const std::int64_t end = std::min(n, start + scan_block);
    std::uint32_t other = 0;
    for (std::int64_t i = start; i < end; ++i) {
      total += fan_out[i] & -static_cast<std::int64_t>(values[i] != T{0});
      if constexpr (BinaryOnly) other |= values[i] != T{0} && values[i] != T{1};
    }
    if (other) return not_spikes;
  }
  return total;
}

template <bool BinaryOnly, typename T>
[[gnu::always_inline]] inline std::int64_t reached(const T* values, std::int64_t n,
                                                   std::int64_t each, const std::int64_t* fan_out) {
  if (!each) return weighted<BinaryOnly>(values, n, fan_out);
  const std::int64_t count = nonzero<BinaryOnly>(values, n);
  return count == not_spikes ? not_spikes : count * each;
}

template <typename T>
[[gnu::always_inline]] inline std::int64_t reached(const T* values, std::int64_t n,
                                                   std::int64_t each, const std::int64_t* fan_out,
                                                   bool binary_only) {
  return binary_only ? reached<true>(values, n, each, fan_out)
                     : reached<false>(values, n, each, fan_out);
}

// The slot the instruction computes from, and how many values it holds.
int input_slot(const Plan& plan, const Instruction& ins) {
  if (ins.kind == OpKind::affine) return plan.affine[ins.affine].input;
  return plan.layers[ins.layer].input;
}

// Per input coordinate along one axis, the output positions whose window reads it.
std::vector<std::int64_t> reading_positions(std::int64_t in, std::int64_t out, std::int64_t kernel,
                                            std::int64_t stride, std::int64_t padding,
                                            std::int64_t dilation) {
  std::vector<std::int64_t> reading(static_cast<std::size_t>(in), 0);
  for (std::int64_t o = 0; o < out; ++o)
    for (std::int64_t k = 0; k < kernel; ++k) {
      const std::int64_t at = o * stride - padding + k * dilation;
      if (at >= 0 && at < in) ++reading[static_cast<std::size_t>(at)];
    }
  return reading;
}

}  // namespace

// Compiled for the widest vectors the processor has, as the products are.
__attribute__((target_clones("avx512f", "avx2", "default"))) std::int64_t reached_synapses(
    const float* values, std::int64_t n, std::int64_t each, const std::int64_t* fan_out,
    bool binary_only) {
  return reached(values, n, each, fan_out, binary_only);
}
__attribute__((target_clones("avx512f", "avx2", "default"))) std::int64_t reached_synapses(
    const double* values, std::int64_t n, std::int64_t each, const std::int64_t* fan_out,
    bool binary_only) {
  return reached(values, n, each, fan_out, binary_only);
}

void count_activity(const Plan& plan, const Instruction& ins, std::int64_t first_sample,
                    std::int64_t end_sample, std::int64_t step) {
  if (ins.kind != OpKind::affine && ins.kind != OpKind::layer) return;
  if (step >= plan.recorded_steps) return;
  for (const ActivityCount& c : plan.activity) {
    if (c.node != ins.node) continue;
    const int slot = input_slot(plan, ins);
    const bool f32 = plan.slots[slot].dtype == DType::f32;
    for (std::int64_t b = first_sample; b < end_sample; ++b) {
      const std::int64_t row = plan.sample_rows[b];
      std::int64_t& out = c.out[step * plan.recorded_rows + row];
      if (!c.spike_fed) {
        out = c.dense;
        continue;
      }
      // an input that held another value than spikes at the step before is not scanned again
      if (c.binary_only && step > 0 && c.out[(step - 1) * plan.recorded_rows + row] == not_spikes) {
        out = not_spikes;
        continue;
      }
      const Slot& s = plan.slots[slot];
      const std::int64_t at = b * s.sample_stride + step * s.step_stride;
      out = f32 ? reached_synapses(static_cast<const float*>(s.data) + at, c.inputs, c.each,
                                   c.fan_out, c.binary_only)
                : reached_synapses(static_cast<const double*>(s.data) + at, c.inputs, c.each,
                                   c.fan_out, c.binary_only);
    }
  }
}

std::vector<std::int64_t> convolution_fan_out(const ConvolutionShape& shape) {
  const auto rows =
      reading_positions(shape.in_height, shape.out_height, shape.kernel_height, shape.stride_height,
                        shape.padding_height, shape.dilation_height);
  const auto columns =
      reading_positions(shape.in_width, shape.out_width, shape.kernel_width, shape.stride_width,
                        shape.padding_width, shape.dilation_width);
  std::vector<std::int64_t> fan_out;
  fan_out.reserve(static_cast<std::size_t>(shape.input_size()));
  for (std::int64_t c = 0; c < shape.in_channels; ++c)
    for (const std::int64_t r : rows)
      for (const std::int64_t x : columns) fan_out.push_back(shape.out_per_group() * r * x);
  return fan_out;
}

}  // namespace zelka::engine
