#include "core/engine/activity.hpp"

#include <algorithm>

namespace zelka::engine {
namespace {

// Values are scanned in blocks whose narrow counts vectorise; a check for spikes stops at
// the first block holding another value (a stimulus of images rather than spike trains).
constexpr std::int64_t scan_block = 256;

template <typename T>
[[gnu::always_inline]] inline std::int64_t reached(const T* values, std::int64_t n,
                                                   std::int64_t each, const std::int64_t* fan_out) {
  std::int64_t total = 0;
  if (!each) {
    for (std::int64_t i = 0; i < n; ++i)
      total += fan_out[i] & -static_cast<std::int64_t>(values[i] != T{0});
    return total;
  }
  for (std::int64_t start = 0; start < n; start += scan_block) {
    const std::int64_t end = std::min(n, start + scan_block);
    std::uint32_t count = 0;
    for (std::int64_t i = start; i < end; ++i) count += values[i] != T{0};
    total += count;
  }
  return total * each;
}

template <typename T>
[[gnu::always_inline]] inline bool spikes_only(const T* values, std::int64_t n) {
  for (std::int64_t start = 0; start < n; start += scan_block) {
    const std::int64_t end = std::min(n, start + scan_block);
    std::uint32_t other = 0;
    for (std::int64_t i = start; i < end; ++i) other |= values[i] != T{0} && values[i] != T{1};
    if (other) return false;
  }
  return true;
}

// The slot the instruction computes from, and how many values it holds.
int input_slot(const Plan& plan, const Instruction& ins) {
  if (ins.kind == OpKind::affine) return plan.affine[ins.affine].input;
  return plan.layers[ins.layer].input;
}

// Whether a sample of the range is marked in `other` (SpikeCheck::other): the whole call then
// counts dense where that stimulus feeds spikes, and no sample need be checked or scanned.
bool marked(const Plan& plan, const std::uint8_t* other, std::int64_t first_sample,
            std::int64_t end_sample) {
  for (std::int64_t b = first_sample; b < end_sample; ++b)
    if (other[plan.sample_rows[b]]) return true;
  return false;
}

// Adds one counted layer's step to the samples of the range, its input in `s`; compiled for
// the widest vectors the processor has, as the products are.
__attribute__((target_clones("avx512f", "avx2", "default"))) void count_samples(
    const Plan& plan, ActivityCount& c, const Slot& s, std::int64_t first_sample,
    std::int64_t end_sample, std::int64_t step) {
  for (std::int64_t b = first_sample; b < end_sample; ++b) ++c.steps[b];
  if (!c.spike_fed || c.counter >= 0) return;
  for (const std::uint8_t* other : c.stimuli)
    if (marked(plan, other, first_sample, end_sample)) return;
  for (std::int64_t b = first_sample; b < end_sample; ++b) {
    const std::int64_t at = b * s.sample_stride + step * s.step_stride;
    c.synapses[b] +=
        s.dtype == DType::f32
            ? reached(static_cast<const float*>(s.data) + at, c.inputs, c.each, c.fan_out)
            : reached(static_cast<const double*>(s.data) + at, c.inputs, c.each, c.fan_out);
  }
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

std::int64_t reached_synapses(const double* values, std::int64_t n, std::int64_t each,
                              const std::int64_t* fan_out) {
  return reached(values, n, each, fan_out);
}
// Compiled for the widest vectors the processor has: every step checks a stimulus.
__attribute__((target_clones("avx512f", "avx2", "default"))) bool only_spikes(const float* values,
                                                                              std::int64_t n) {
  return spikes_only(values, n);
}
__attribute__((target_clones("avx512f", "avx2", "default"))) bool only_spikes(const double* values,
                                                                              std::int64_t n) {
  return spikes_only(values, n);
}

void count_activity(Plan& plan, const Instruction& ins, std::int64_t first_sample,
                    std::int64_t end_sample, std::int64_t step) {
  if (ins.kind != OpKind::affine && ins.kind != OpKind::layer) return;
  for (ActivityCount& c : plan.activity)
    if (c.node == ins.node)
      count_samples(plan, c, plan.slots[input_slot(plan, ins)], first_sample, end_sample, step);
}

// Compiled for the widest vectors the processor has, the loop over the samples included:
// every step checks a stimulus of every sample.
__attribute__((target_clones("avx512f", "avx2", "default"))) void check_spikes(
    const Plan& plan, std::int64_t first_sample, std::int64_t end_sample, std::int64_t step) {
  for (const SpikeCheck& c : plan.spike_checks) {
    if (marked(plan, c.other, first_sample, end_sample)) continue;
    const Slot& s = plan.slots[c.slot];
    for (std::int64_t b = first_sample; b < end_sample; ++b) {
      std::uint8_t& other = c.other[plan.sample_rows[b]];
      const std::int64_t at = b * s.sample_stride + step * s.step_stride;
      other = s.dtype == DType::f32 ? !spikes_only(static_cast<const float*>(s.data) + at, s.size)
                                    : !spikes_only(static_cast<const double*>(s.data) + at, s.size);
    }
  }
}

std::int64_t synapses_reached(const Plan& plan, const ActivityCount& c, std::int64_t sample) {
  if (c.counter < 0) return c.synapses[sample];
  const std::int64_t total = plan.spike_totals[sample * plan.counters() + c.counter];
  return (total - c.first_totals[sample]) * c.each;
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
