// JSON text read into a Value.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/value/value.hpp"

namespace zelka::value {

// The value of the JSON text `text` (RFC 8259, plus the NaN, Infinity and -Infinity that
// json_text writes): objects as Maps with string keys in their order, arrays as Lists,
// numbers without fraction or exponent as integers (std::int64_t, else BigInt), other
// numbers as doubles, strings as UTF-8.  ValueError naming the byte offset and what is wrong
// for anything else: malformed text, a member name repeated in one object, an escaped lone
// surrogate, text that is not UTF-8, a number beyond the double range, or more than
// `max_depth` arrays and objects inside one another.  Any depth up to that: the text is read
// with an explicit stack.
Value parse_json(std::string_view text, std::size_t max_depth);

}  // namespace zelka::value
