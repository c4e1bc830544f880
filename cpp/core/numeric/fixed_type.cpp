#include "core/numeric/fixed_type.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <vector>

namespace zelka::numeric {
namespace {

constexpr int max_width = 1024;  // the library's default limit on a type's width

constexpr std::array<std::string_view, 7> quantisation_modes{
    "AP_RND",      "AP_RND_ZERO", "AP_RND_MIN_INF", "AP_RND_INF",
    "AP_RND_CONV", "AP_TRN",      "AP_TRN_ZERO"};
constexpr std::array<std::string_view, 5> overflow_modes{"AP_SAT", "AP_SAT_ZERO", "AP_SAT_SYM",
                                                         "AP_WRAP", "AP_WRAP_SM"};

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::optional<int> parse_int(std::string_view s) {
  s = trim(s);
  int value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

bool is_one_of(std::string_view word, auto const& words) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

// The arguments between the angle brackets of `text` if it is `base<...>`.
std::optional<std::vector<std::string_view>> template_arguments(std::string_view text,
                                                                std::string_view base) {
  text = trim(text);
  if (!text.starts_with(base)) return std::nullopt;
  text = trim(text.substr(base.size()));
  if (text.size() < 2 || text.front() != '<' || text.back() != '>') return std::nullopt;
  text = text.substr(1, text.size() - 2);
  std::vector<std::string_view> arguments;
  for (std::size_t start = 0;;) {
    const std::size_t comma = text.find(',', start);
    arguments.push_back(trim(text.substr(start, comma - start)));
    if (comma == std::string_view::npos) return arguments;
    start = comma + 1;
  }
}

std::optional<FixedType> parse_fixed(const std::vector<std::string_view>& args, bool is_signed) {
  if (args.size() < 2 || args.size() > 5) return std::nullopt;
  const auto width = parse_int(args[0]);
  const auto integer_bits = parse_int(args[1]);
  if (!width || !integer_bits || *width < 1 || *width > max_width) return std::nullopt;
  if (*integer_bits < -max_width || *integer_bits > max_width) return std::nullopt;
  std::string modes;
  if (args.size() > 2) {
    if (!is_one_of(args[2], quantisation_modes)) return std::nullopt;
    modes = args[2];
  }
  if (args.size() > 3) {
    if (!is_one_of(args[3], overflow_modes)) return std::nullopt;
    modes += "," + std::string(args[3]);
  }
  if (args.size() > 4) {
    const auto saturation_bits = parse_int(args[4]);
    if (!saturation_bits || *saturation_bits < 0 || *saturation_bits > *width) return std::nullopt;
    modes += "," + std::to_string(*saturation_bits);
  }
  return FixedType{is_signed, *width, *integer_bits, std::move(modes), false};
}

std::optional<FixedType> parse_integer(const std::vector<std::string_view>& args, bool is_signed) {
  if (args.size() != 1) return std::nullopt;
  const auto width = parse_int(args[0]);
  if (!width || *width < 1 || *width > max_width) return std::nullopt;
  return FixedType{is_signed, *width, *width, "", true};
}

}  // namespace

const char* const fixed_type_forms = "ap_fixed<W,I>, ap_ufixed<W,I>, ap_int<W> or ap_uint<W>";

std::string FixedType::name() const {
  if (integer_form) return (is_signed ? "ap_int<" : "ap_uint<") + std::to_string(width) + ">";
  std::string out = is_signed ? "ap_fixed<" : "ap_ufixed<";
  out += std::to_string(width) + "," + std::to_string(integer_bits);
  if (!modes.empty()) out += "," + modes;
  return out + ">";
}

double FixedType::lowest() const {
  return is_signed ? -std::ldexp(1.0, integer_bits - 1) : 0.0;
}

double FixedType::highest() const {
  const double step = std::ldexp(1.0, -fractional_bits());
  return std::ldexp(1.0, is_signed ? integer_bits - 1 : integer_bits) - step;
}

std::optional<FixedType> parse_fixed_type(std::string_view text) {
  // Longer names first: "ap_fixed" would also match the start of nothing else, but "ap_int"
  // is a prefix of neither, so the order only matters between a name and its "u" form.
  if (auto args = template_arguments(text, "ap_fixed")) return parse_fixed(*args, true);
  if (auto args = template_arguments(text, "ap_ufixed")) return parse_fixed(*args, false);
  if (auto args = template_arguments(text, "ap_int")) return parse_integer(*args, true);
  if (auto args = template_arguments(text, "ap_uint")) return parse_integer(*args, false);
  return std::nullopt;
}

}  // namespace zelka::numeric
