// Values written as Python source text.
#pragma once

#include <string>
#include <string_view>

#include "core/value/value.hpp"

namespace zelka::value {

// The Python literal of `v`, as repr() writes it: maps {key: value, ...} in their order,
// lists [...], tuples (...) with the trailing comma of a one-item tuple, strings quoted as
// repr quotes them, integers in decimal (any size), True, False, None, and floats in their
// shortest round-trip form ("5.0", "1e-05").  A non-finite float has no literal: it is
// written as the expression float('nan'), float('inf') or -float('inf'); an opaque value is
// written as the string literal of its text.  So the text always evaluates back to the
// value.  Any depth: the tree is walked with an explicit stack.
std::string python_literal(const Value& v);

// `utf8_text` as it stands between two `quote` characters (' or ") of a Python string
// literal: backslash, the quote, and control characters (C0, DEL, C1) escaped as \\, \' or
// \", \n, \r, \t and \xHH; every other character kept as it is.
std::string python_string_body(std::string_view utf8_text, char quote);

// What str() gives for the value: a string or an opaque value's text as it is, anything
// else as its Python literal.
std::string text_form(const Value& v);

}  // namespace zelka::value
