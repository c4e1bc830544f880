// Fixed texts with named {placeholders}.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelka::text {

using Fields = std::vector<std::pair<std::string_view, std::string>>;

// `tmpl` with every {name} replaced by its field's text.  A brace that does not open a
// known placeholder is kept as it is (C++ struct braces in templates stay literal).
std::string fill(std::string_view tmpl, const Fields& fields);

// The same with other delimiters around the names, for templates whose own text is full of
// braces (Python f-strings and dicts): fill(tmpl, fields, "«", "»") replaces «name».
std::string fill(std::string_view tmpl, const Fields& fields, std::string_view open,
                 std::string_view close);

// Text safe inside a one-line comment: control characters (line breaks above all) are
// written as escapes (\n, \r, \t, \xHH).  So are the characters that would let the comment
// swallow the next line: a backslash that ends the text (or is followed by spaces only,
// which compilers also splice) is written \x5c, and a '?' right after another '?' is written
// \x3f, so that no trigraph ("??/" reads as a backslash in C++14) can form.  Every other
// character is kept.
std::string comment_safe(std::string_view s);

// Whether UTF-8 text holds a control character: C0 (line breaks among them), DEL or C1.
// Text written into generated code outside a comment must hold none, or it could end the
// line it is written on and start code of its own.
bool has_control_character(std::string_view utf8_text);

// Whether text holds a trigraph ("??" and one of = / ' ( ) ! < > -), which a C++14 compiler
// replaces by another character ("??/" by a backslash) before it reads anything else.
bool has_trigraph(std::string_view text);

}  // namespace zelka::text
