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

// Text safe inside a one-line comment: control characters (line breaks above all) are
// written as escapes (\n, \r, \t, \xHH); every other character is kept.
std::string comment_safe(std::string_view s);

}  // namespace zelka::text
