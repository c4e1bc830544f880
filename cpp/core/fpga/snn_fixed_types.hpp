// The fixed-point types the SNN project derives from the model's: the membranes', the decay
// factors', exact sums', and constants rounded onto a type's grid.
#pragma once

#include <vector>

#include "core/numeric/fixed_type.hpp"

namespace zelka::fpga {

using numeric::FixedType;

// The default type of LIF membranes for a model precision: two more integer bits and eight
// more fractional bits, signed (an unsigned precision gets one integer bit more for the
// sign), rounding to nearest (ties to even) and saturating.  ap_fixed<16,6> gives
// ap_fixed<26,8,AP_RND_CONV,AP_SAT>.
FixedType default_membrane_type(const FixedType& precision);

// The type of the decay factors 1 - 1/tau: the membrane's fractional bits, values in [-2, 2),
// rounding to nearest and saturating.
FixedType decay_type(const FixedType& membrane);

// A type that holds the sum of one value of each of `addends` exactly: the most fractional
// bits of any, and enough integer bits for the sum of their ranges.  Unsigned when all are.
FixedType sum_type(const std::vector<FixedType>& addends);

// The value of `type` nearest to `value` (ties to even), or the end of the type's range
// nearest to a value past it.  `value` is finite.
double nearest_on_grid(double value, const FixedType& type);

// Values moved onto a type's grid: each to the nearest value the type holds (ties to even),
// values past its range to the range's end.  The values are finite.
struct RoundedValues {
  std::vector<double> values;
  std::size_t changed = 0;  // how many values the rounding changed
  std::size_t largest = 0;  // index of the largest change (meaningful when changed > 0)
};
RoundedValues round_onto(const std::vector<double>& values, const FixedType& type);

// The widest type whose every value a double holds exactly: constants are written into the
// generated code as double literals.
inline constexpr int widest_constant_type = 53;

}  // namespace zelka::fpga
