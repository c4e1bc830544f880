#include "core/numeric/precision.hpp"

#include <charconv>
#include <cmath>

namespace zelka::numeric {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::optional<long> parse_int(std::string_view s) {
  s = trim(s);
  long value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return value;
}

// ap_fixed<W,I>: W bits in all, I of them integer bits (sign included), so the range is
// [-2^(I-1), 2^(I-1) - 2^-(W-I)].
std::optional<Range> ap_fixed_range(std::string_view s) {
  constexpr std::string_view prefix = "ap_fixed<";
  if (!s.starts_with(prefix) || !s.ends_with('>')) return std::nullopt;
  std::string_view args = s.substr(prefix.size(), s.size() - prefix.size() - 1);
  auto comma = args.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  auto width = parse_int(args.substr(0, comma));
  auto integer = parse_int(args.substr(comma + 1));
  if (!width || !integer || *width < 1 || *width > 1024 || *integer < -1024 || *integer > 1024)
    return std::nullopt;
  double half = std::ldexp(1.0, static_cast<int>(*integer - 1));
  double step = std::ldexp(1.0, static_cast<int>(*integer - *width));
  return Range{-half, half - step};
}

}  // namespace

std::optional<Range> precision_range(std::string_view precision) {
  if (precision == "fp32") return Range{-3.4028234663852886e38, 3.4028234663852886e38};
  if (precision == "fp16") return Range{-65504.0, 65504.0};
  if (precision == "int16") return Range{-32768.0, 32767.0};
  if (precision == "int8") return Range{-128.0, 127.0};
  if (precision == "int4") return Range{-8.0, 7.0};
  return ap_fixed_range(precision);
}

}  // namespace zelka::numeric
