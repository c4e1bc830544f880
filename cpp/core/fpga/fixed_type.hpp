// Fixed-point types of the HLS arbitrary-precision library (ap_fixed, ap_ufixed, ap_int,
// ap_uint) as the SNN project generator handles them: parsed from their C++ names, written
// back, widened for sums, and used to round constants onto their grid.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelka::fpga {

struct FixedType {
  bool is_signed = true;
  int width = 16;             // bits in all
  int integer_bits = 6;       // bits before the binary point, the sign bit included when signed
  std::string modes;          // the quantisation, overflow and saturation-bit arguments after
                              // the first two, comma-separated ("AP_RND_CONV,AP_SAT"), or empty
  bool integer_form = false;  // written ap_int<W> / ap_uint<W> (integer_bits == width)

  int fractional_bits() const { return width - integer_bits; }
  // The C++ name: "ap_fixed<16,6>", "ap_ufixed<8,3,AP_RND>", ...
  std::string name() const;
  // The range of values the type holds, both ends included.
  double lowest() const;
  double highest() const;
};

// The type a C++ type name denotes: ap_fixed<W,I[,Q[,O[,N]]]>, ap_ufixed<...>, ap_int<W> or
// ap_uint<W>, spaces allowed between the parts; nothing for any other text.
std::optional<FixedType> parse_fixed_type(std::string_view text);

// What a type name may be, for messages: "ap_fixed<W,I>, ap_ufixed<W,I>, ap_int<W> or
// ap_uint<W>".
extern const char* const fixed_type_forms;

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
