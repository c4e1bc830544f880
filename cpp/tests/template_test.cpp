// The template engine: «name» placeholders replaced, everything else kept, and templates that
// do not match their fields refused.
#include "core/text/template.hpp"

#include <doctest/doctest.h>

#include <stdexcept>
#include <string>

using zelka::text::fill;

TEST_CASE("placeholders are replaced and every other character is kept") {
  CHECK(fill("«a»«b» «a»", {{"a", "1"}, {"b", "2"}}) == "12 1");
  // The braces and dollars of C++, Verilog, Tcl and Python stay as they are.
  CHECK(fill("struct s{«x»} {x} ${x} f\"{x}\" {{«x»}}", {{"x", "v"}}) ==
        "struct s{v} {x} ${x} f\"{x}\" {{v}}");
  CHECK(fill("", {}) == "");
  CHECK(fill("no placeholders", {}) == "no placeholders");
  // A field's text is written as it is: a placeholder in it is not replaced.
  CHECK(fill("«a»«b»", {{"a", "«b»"}, {"b", "«"}}) == "«b»«");
  // Other non-ASCII text around the marks is kept.
  CHECK(fill("é«a»ü»", {{"a", "½"}}) == "é½ü»");
  CHECK(fill("«a»", {{"a", ""}}) == "");
}

TEST_CASE("a template that does not match its fields is refused, naming what is wrong") {
  const auto refusal = [](std::string_view tmpl, const zelka::text::Fields& fields) {
    try {
      fill(tmpl, fields);
    } catch (const std::logic_error& e) {
      return std::string(e.what());
    }
    return std::string("(filled)");
  };
  CHECK(refusal("«a» «typo»", {{"a", "1"}}) ==
        "placeholder «typo» without a field in the template starting \"«a» «typo»\"");
  CHECK(refusal("first line «a»\nsecond", {{"a", "1"}, {"b", "2"}}) ==
        "field «b» that no placeholder names in the template starting \"first line «a»\"");
  CHECK(refusal("«a»", {{"a", "1"}, {"a", "2"}}) ==
        "field «a» given twice in the template starting \"«a»\"");
  CHECK(refusal("«a» «b", {{"a", "1"}, {"b", "2"}}) ==
        "a « without its » in the template starting \"«a» «b\"");
  CHECK(refusal("««a»", {{"a", "1"}}) ==
        "placeholder ««a» without a field in the template starting \"««a»\"");
}
