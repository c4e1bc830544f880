// One time step of a group of leaky integrate-and-fire neurons.
#pragma once

#include <cstdint>
#include <vector>

#include "core/engine/plan.hpp"
#include "core/numeric/saturate.hpp"

namespace zelka::engine {

// Which neurons fired in a step, as bits, for an Affine that sums the columns of the spikes
// (AffineArgs::bits_of): bit j % 16 of word j / 16 is neuron j, neurons / 16 words per sample,
// the samples of the step's range one after another.  A step writes them (and sets `written`)
// where it steps layers of whole vectors of 16 neurons in one pass with AVX-512.
struct FiredBits {
  std::uint16_t* bits = nullptr;
  bool written = false;
};

// Fill the float32 copies of the parameters and repeat them for groups of samples (of a plan
// of `samples` samples); call once when the arguments are complete.
void prepare_lif(LifArgs& args, std::int64_t samples);

// One step of the LIF rule (core/rules/lif_rule.hpp) under the node's reset and firing
// comparison: leak toward v_leak, add the input, take the threshold off where reset
// "subtract" applies, saturate, fire, and reset to v_leak where reset "v_leak" applies, for
// samples [first, end) at `step`.
// Arithmetic is done in the membrane's type (float32 or float64) exactly as the
// element-wise array expression would do it.  Adds each sample's number of spikes to
// totals[sample * stride].  Writes `fired` where it can, if given.
void lif_steps(std::vector<Slot>& slots, const LifArgs& args, std::int64_t first, std::int64_t end,
               std::int64_t step, std::int64_t* totals, std::int64_t stride,
               FiredBits* fired = nullptr);

// The sums of an Affine whose bias and clip the LIF reading them applies as it steps (the
// Affine then leaves its own output unwritten): clip(product + bias) to `bounds`, as the
// Affine forms them, the products of the range's samples `stride` apart from `product` on.
struct BiasedSums {
  const float* product = nullptr;
  std::int64_t stride = 0;
  const float* bias = nullptr;
  numeric::Bounds<float> bounds{};
};

// lif_steps with `sums` as the input, in one pass; false, doing nothing, where that pass does
// not apply (no AVX-512, a float64 membrane, a layer of other than whole vectors of 16
// neurons, samples whose values are not one after another, a reset that could raise a flag
// there).
bool lif_steps_on_sums(std::vector<Slot>& slots, const LifArgs& args, const BiasedSums& sums,
                       std::int64_t first, std::int64_t end, std::int64_t step,
                       std::int64_t* totals, std::int64_t stride, FiredBits* fired = nullptr);

}  // namespace zelka::engine
