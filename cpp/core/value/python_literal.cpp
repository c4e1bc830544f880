#include "core/value/python_literal.hpp"

#include <cmath>
#include <vector>

#include "core/text/number_format.hpp"
#include "core/text/utf8.hpp"

namespace zelka::value {
namespace {

bool is_control(char32_t cp) {
  return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f);
}

// Quoted as repr() quotes: single quotes unless the text holds a single quote and no
// double quote.
std::string string_literal(std::string_view text) {
  const bool single = text.find('\'') != std::string_view::npos;
  const bool dbl = text.find('"') != std::string_view::npos;
  const char quote = single && !dbl ? '"' : '\'';
  return quote + python_string_body(text, quote) + quote;
}

std::string float_literal(double x) {
  if (std::isnan(x)) return "float('nan')";
  if (std::isinf(x)) return x < 0 ? "-float('inf')" : "float('inf')";
  return text::float_repr(x);
}

std::string scalar_literal(const Value& v) {
  return std::visit(
      [](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, bool>) {
          return x ? "True" : "False";
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return std::to_string(x);
        } else if constexpr (std::is_same_v<T, BigInt>) {
          return x.digits;
        } else if constexpr (std::is_same_v<T, double>) {
          return float_literal(x);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return string_literal(x);
        } else if constexpr (std::is_same_v<T, Opaque>) {
          return string_literal(x.text);
        } else {
          return "None";  // Null; containers are written by the caller
        }
      },
      v.data);
}

bool is_container(const Value& v) {
  return v.is<List>() || v.is<Tuple>() || v.is<Map>();
}

}  // namespace

std::string python_string_body(std::string_view utf8_text, char quote) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(utf8_text.size());
  std::size_t i = 0;
  while (i < utf8_text.size()) {
    const std::size_t start = i;
    const char32_t cp = text::next_code_point(utf8_text, i);
    if (cp == '\\' || cp == static_cast<char32_t>(quote)) {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (is_control(cp)) {
      out += "\\x";
      out += hex[cp >> 4];
      out += hex[cp & 15];
    } else {
      out += utf8_text.substr(start, i - start);
    }
  }
  return out;
}

std::string python_literal(const Value& root) {
  std::string out;
  struct Open {
    const Value* container;
    std::size_t next_child;
  };
  std::vector<Open> open;
  const auto begin = [&](const Value& v) {
    if (!is_container(v)) {
      out += scalar_literal(v);
      return;
    }
    out += v.is<List>() ? '[' : v.is<Tuple>() ? '(' : '{';
    open.push_back({&v, 0});
  };
  begin(root);
  while (!open.empty()) {
    const Value& container = *open.back().container;
    const std::size_t next = open.back().next_child;
    const std::size_t count = child_count(container);
    if (next == count) {
      if (container.is<List>())
        out += ']';
      else if (container.is<Map>())
        out += '}';
      else
        out += count == 1 ? ",)" : ")";
      open.pop_back();
      continue;
    }
    if (next > 0) out += container.is<Map>() && next % 2 == 1 ? ": " : ", ";
    ++open.back().next_child;
    begin(child(container, next));
  }
  return out;
}

std::string text_form(const Value& v) {
  if (v.is<std::string>()) return v.as<std::string>();
  if (v.is<Opaque>()) return v.as<Opaque>().text;
  return python_literal(v);
}

}  // namespace zelka::value
