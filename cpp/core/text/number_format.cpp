#include "core/text/number_format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace zelka::text {

std::string float_repr(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  // Shortest round-trip digits, in scientific form d.ddde±XX.
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string sci(buf, end);
  const bool negative = sci[0] == '-';
  if (negative) sci.erase(0, 1);
  const auto e = sci.find('e');
  std::string digits = sci.substr(0, e);
  const int exponent = std::atoi(sci.c_str() + e + 1);
  if (digits.size() > 1) digits.erase(1, 1);  // drop the point: "1.25" -> "125"

  std::string out;
  if (exponent >= -4 && exponent < 16) {
    if (exponent < 0) {
      out = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else {
      const std::size_t int_len = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= int_len)
        out = digits + std::string(int_len - digits.size(), '0') + ".0";
      else
        out = digits.substr(0, int_len) + "." + digits.substr(int_len);
    }
  } else {
    out = digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
  }
  return negative ? "-" + out : out;
}

std::string fixed(double x, int digits) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  char buf[512];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, digits);
  return std::string(buf, end);
}

std::string grouped_integer(std::string_view decimal) {
  const bool negative = !decimal.empty() && decimal.front() == '-';
  const std::string_view digits = negative ? decimal.substr(1) : decimal;
  std::string out = negative ? "-" : "";
  out.reserve(decimal.size() + digits.size() / 3);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string grouped_fixed(double x, int digits) {
  const std::string plain = fixed(x, digits);
  if (std::isnan(x) || std::isinf(x)) return plain;
  const std::size_t integer_end = std::min(plain.find('.'), plain.size());
  return grouped_integer(std::string_view(plain).substr(0, integer_end)) +
         plain.substr(integer_end);
}

}  // namespace zelka::text
