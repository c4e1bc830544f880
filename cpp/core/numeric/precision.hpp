// Numeric formats named by precision strings ("fp32", "int8", "ap_fixed<16,6>", ...) and
// the closed value range each can hold.
#pragma once

#include <optional>
#include <string_view>

namespace zelka::numeric {

struct Range {
  double lo;
  double hi;
};

// The range of a precision name, or nothing when the name is not a known format.
std::optional<Range> precision_range(std::string_view precision);

}  // namespace zelka::numeric
