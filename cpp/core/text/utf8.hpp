// Reading UTF-8 text one code point at a time.
#pragma once

#include <cstddef>
#include <string_view>

namespace zelka::text {

// The code point that starts at byte `i` of `text`; `i` moves past it.  A byte that starts
// no well-formed sequence reads as U+FFFD and `i` moves past that one byte.
char32_t next_code_point(std::string_view text, std::size_t& i);

}  // namespace zelka::text
