// Fixed-point types of the HLS arbitrary-precision library (ap_fixed, ap_ufixed, ap_int,
// ap_uint): read from their C++ names, written back, and the range of values each holds.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zelka::numeric {

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

}  // namespace zelka::numeric
