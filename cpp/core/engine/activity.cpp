#include "core/engine/activity.hpp"

namespace zelka::engine {
namespace {

template <typename T>
std::int64_t reached(const T* values, const std::int64_t* fan_out, std::int64_t n) {
  std::int64_t total = 0;
  for (std::int64_t i = 0; i < n; ++i) total += values[i] != T{0} ? fan_out[i] : 0;
  return total;
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

std::int64_t reached_synapses(const float* values, const std::int64_t* fan_out, std::int64_t n) {
  return reached(values, fan_out, n);
}
std::int64_t reached_synapses(const double* values, const std::int64_t* fan_out, std::int64_t n) {
  return reached(values, fan_out, n);
}
std::int64_t reached_synapses(const std::uint8_t* nonzero, const std::int64_t* fan_out,
                              std::int64_t n) {
  return reached(nonzero, fan_out, n);
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
      std::int64_t& out = c.out[step * plan.recorded_rows + plan.sample_rows[b]];
      if (!c.fan_out) {
        out = c.dense;
        continue;
      }
      const Slot& s = plan.slots[slot];
      const std::int64_t at = b * s.sample_stride + step * s.step_stride;
      out = f32 ? reached_synapses(static_cast<const float*>(s.data) + at, c.fan_out, c.inputs)
                : reached_synapses(static_cast<const double*>(s.data) + at, c.fan_out, c.inputs);
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
