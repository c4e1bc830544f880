// The synaptic work of a run, counted as its steps run: per counted layer (an Affine or a
// convolution), per sample and step, the operations it performs on that step's input.
#pragma once

#include <cstdint>
#include <vector>

#include "core/engine/convolution.hpp"
#include "core/engine/plan.hpp"

namespace zelka::engine {

// The count of a step whose input was to hold spikes and held another value.
inline constexpr std::int64_t not_spikes = -1;

// The operations of `ins`, if it is a counted layer's compute, for every sample of the range
// at `step`, read from the input it computes from (which holds that step's input before the
// instruction runs, also when the instruction is static and skipped).
void count_activity(const Plan& plan, const Instruction& ins, std::int64_t first_sample,
                    std::int64_t end_sample, std::int64_t step);

// What a layer fed by spikes computes from `n` input values: the synapses its nonzero values
// reach (`each` apiece or, where `each` is 0, fan_out[i] for values[i]); with `binary_only`,
// not_spikes where a value is neither 0 nor 1.
std::int64_t reached_synapses(const float* values, std::int64_t n, std::int64_t each,
                              const std::int64_t* fan_out, bool binary_only);
std::int64_t reached_synapses(const double* values, std::int64_t n, std::int64_t each,
                              const std::int64_t* fan_out, bool binary_only);

// Per input value (c, y, x) in C order, the (output channel, output position) pairs of the
// convolution that read it: padding, stride and dilation counted exactly, borders too.
std::vector<std::int64_t> convolution_fan_out(const ConvolutionShape& shape);

}  // namespace zelka::engine
