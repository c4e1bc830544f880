// Fixed-point types chosen from a network's constants and the ranges its values took on
// calibration samples (precision="auto").
//
// Integer bits: every type holds twice the largest magnitude it has to hold (one integer bit
// of headroom beyond the bits the observed range needs, the sign included): the inputs and
// each dense layer's weights, biases, partial sums (accum_t: the largest sum of the magnitudes
// of an output's products and bias, which bounds every partial sum) and outputs, and the
// membranes before they fire (with the thresholds and rest values).
//
// Fractional bits: each source of rounding may move a membrane by at most 2^-K of the
// smallest threshold magnitude over the run (the threshold that decides a spike, positive,
// negative or, where every threshold is 0, the largest magnitude the membranes reach) (K =
// error_fraction_bits), with the errors of a step added up over the steps as the leak carries them
// (the sum of |decay|^k over the calibration's steps, the largest of any neuron) and shared by the
// dense layers summed into one LIF layer. The sources are, per dense layer, the rounding of its
// weights and bias and the truncation of its products to accum_t (bounded by the largest input sum
// and the most nonzero inputs observed); the rounding of the inputs (through the largest sum of a
// weight row's magnitudes; none when every calibration input is an integer, as spikes are); and the
// rounding of the membrane and the decay each step.  A dense layer's weights, bias, partial
// sums and output share its fractional bits; the membranes have at least as many as any layer
// output they add.  So every membrane stays within 3 * 2^-K of the smallest threshold of the
// CPU simulator's in the worst case; dense layers that read dense layers directly add the
// upstream error times their weights, which the bound leaves out.
#pragma once

#include <optional>
#include <vector>

#include "core/fpga/snn_ranges.hpp"

namespace zelka::fpga::snn {

inline constexpr int error_fraction_bits = 15;

struct DenseTypes {
  std::optional<FixedType> weight, bias, accum, result;
};

// What the caller fixes: a type given is kept, the others are chosen.
struct TypeChoice {
  std::optional<FixedType> input, membrane;
  std::vector<DenseTypes> dense;  // per network node (dense nodes only)
};

struct ChosenTypes {
  FixedType input, membrane;
  std::vector<DenseTypes> dense;  // per network node: all four set for dense nodes
};

// The types of `network` by the rule above, from the ranges `observed` on `steps` steps.
// zelka::ValueError when a type would need more bits than a constant can be written with
// (widest_constant_type).
ChosenTypes choose_types(const Network& network, const Plan& plan,
                         const std::vector<ObservedRange>& observed, std::size_t steps,
                         const TypeChoice& given);

}  // namespace zelka::fpga::snn
