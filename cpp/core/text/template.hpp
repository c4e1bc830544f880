// Fixed texts with named «placeholders».
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelka::text {

using Fields = std::vector<std::pair<std::string_view, std::string>>;

// `tmpl` with every «name» replaced by its field's text.  Nothing else in the template is
// read, so the braces of C++, Verilog, Tcl and Python stay as they are, and a field's text is
// written as it is (a « in it opens nothing).  A template and its fields must match exactly:
// a placeholder without a field, a field no placeholder names, a field given twice or a «
// without its » is a fault of the generator, refused with std::logic_error naming it.
std::string fill(std::string_view tmpl, const Fields& fields);

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
