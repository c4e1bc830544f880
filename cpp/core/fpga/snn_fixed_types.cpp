#include "core/fpga/snn_fixed_types.hpp"

#include <algorithm>
#include <cmath>

namespace zelka::fpga {
namespace {

int ceil_log2(std::size_t n) {
  int bits = 0;
  while ((std::size_t{1} << bits) < n) ++bits;
  return bits;
}

}  // namespace

FixedType default_membrane_type(const FixedType& precision) {
  const int sign_bit = precision.is_signed ? 0 : 1;
  const int integer_bits = precision.integer_bits + sign_bit + 2;
  const int width = precision.width + sign_bit + 10;
  return FixedType{true, width, integer_bits, "AP_RND_CONV,AP_SAT", false};
}

FixedType decay_type(const FixedType& membrane) {
  return FixedType{true, std::max(membrane.fractional_bits(), 0) + 2, 2, "AP_RND_CONV,AP_SAT",
                   false};
}

FixedType sum_type(const std::vector<FixedType>& addends) {
  const bool is_signed =
      std::any_of(addends.begin(), addends.end(), [](const FixedType& t) { return t.is_signed; });
  int fractional_bits = 0, integer_bits = 0;
  for (const FixedType& t : addends) {
    fractional_bits = std::max(fractional_bits, t.fractional_bits());
    integer_bits = std::max(integer_bits, t.integer_bits + (is_signed && !t.is_signed ? 1 : 0));
  }
  integer_bits += ceil_log2(addends.size());
  return FixedType{is_signed, integer_bits + fractional_bits, integer_bits, "", false};
}

double nearest_on_grid(double value, const FixedType& type) {
  const int f = type.fractional_bits();
  const double on_grid = std::ldexp(std::nearbyint(std::ldexp(value, f)), -f);
  return std::clamp(on_grid, type.lowest(), type.highest());
}

RoundedValues round_onto(const std::vector<double>& values, const FixedType& type) {
  RoundedValues out;
  out.values.reserve(values.size());
  double largest_change = 0.0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double x = values[i];
    const double y = nearest_on_grid(x, type);
    out.values.push_back(y);
    if (y == x) continue;
    ++out.changed;
    if (std::abs(y - x) > largest_change) {
      largest_change = std::abs(y - x);
      out.largest = i;
    }
  }
  return out;
}

}  // namespace zelka::fpga
