#include "core/numeric/precision.hpp"

#include "core/numeric/fixed_type.hpp"

namespace zelka::numeric {
namespace {

// ap_fixed<W,I> written plainly: the name, '<' right after it, the two integer arguments
// (spaces allowed around them, no modes) and '>' ending the text.
std::optional<Range> ap_fixed_range(std::string_view s) {
  if (!s.starts_with("ap_fixed<") || !s.ends_with('>')) return std::nullopt;
  const auto type = parse_fixed_type(s);
  if (!type || !type->modes.empty()) return std::nullopt;
  return Range{type->lowest(), type->highest()};
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
