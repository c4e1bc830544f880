// The synaptic work of a run, counted as its steps run: per counted layer (an Affine or a
// convolution) and sample, the steps it computed and the synapses its nonzero inputs reached
// (Plan::activity, activity_count.hpp).
#pragma once

#include <cstdint>
#include <vector>

#include "core/engine/convolution.hpp"
#include "core/engine/plan.hpp"

namespace zelka::engine {

// Adds the step of `ins`, if it is a counted layer's compute, to every sample of the range,
// the synapses read from the input it computes from (which holds that step's input before the
// instruction runs, also when the instruction is static and skipped).
void count_activity(Plan& plan, const Instruction& ins, std::int64_t first_sample,
                    std::int64_t end_sample, std::int64_t step);

// Marks the samples of the range whose checked stimuli (Plan::spike_checks) hold another
// value than 0 or 1 at `step` (none more once one sample of the range is marked).
void check_spikes(const Plan& plan, std::int64_t first_sample, std::int64_t end_sample,
                  std::int64_t step);

// The synapses the nonzero ones of `n` values reach: `each` apiece or, where `each` is 0,
// fan_out[i] for values[i] (the numpy steps' count; the native steps count in their types).
std::int64_t reached_synapses(const double* values, std::int64_t n, std::int64_t each,
                              const std::int64_t* fan_out);

// The synapses that plan sample `sample` reached at the steps of counted layer `c` so far.
std::int64_t synapses_reached(const Plan& plan, const ActivityCount& c, std::int64_t sample);

// Every one of the `n` values is 0 or 1.
bool only_spikes(const float* values, std::int64_t n);
bool only_spikes(const double* values, std::int64_t n);

// Per input value (c, y, x) in C order, the (output channel, output position) pairs of the
// convolution that read it: padding, stride and dilation counted exactly, borders too.
std::vector<std::int64_t> convolution_fan_out(const ConvolutionShape& shape);

}  // namespace zelka::engine
