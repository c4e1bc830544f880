#include "core/value/json.hpp"

#include <cmath>
#include <vector>

#include "core/text/number_format.hpp"
#include "core/text/utf8.hpp"
#include "core/value/python_literal.hpp"

namespace zelka::value {
namespace {

void append_unicode_escape(std::string& out, char32_t unit) {
  static const char hex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += hex[(unit >> shift) & 15];
}

std::string json_string(std::string_view utf8_text) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < utf8_text.size()) {
    const char32_t cp = text::next_code_point(utf8_text, i);
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (cp >= 0x20 && cp < 0x7f) {
          out += static_cast<char>(cp);
        } else if (cp > 0xffff) {
          const char32_t offset = cp - 0x10000;
          append_unicode_escape(out, 0xd800 + (offset >> 10));
          append_unicode_escape(out, 0xdc00 + (offset & 0x3ff));
        } else {
          append_unicode_escape(out, cp);
        }
    }
  }
  return out + "\"";
}

std::string json_float(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-Infinity" : "Infinity";
  return text::float_repr(x);
}

std::string json_scalar(const Value& v) {
  return std::visit(
      [](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, bool>) {
          return x ? "true" : "false";
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return std::to_string(x);
        } else if constexpr (std::is_same_v<T, BigInt>) {
          return x.digits;
        } else if constexpr (std::is_same_v<T, double>) {
          return json_float(x);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return json_string(x);
        } else if constexpr (std::is_same_v<T, Opaque>) {
          return json_string(x.text);
        } else {
          return "null";  // Null; containers are written by the caller
        }
      },
      v.data);
}

// The text of a member name: strings as they are, numbers, booleans and null as JSON writes
// them, anything else as its text form.
std::string key_text(const Value& key) {
  if (key.is<std::string>() || key.is<List>() || key.is<Tuple>() || key.is<Map>() ||
      key.is<Opaque>())
    return text_form(key);
  return json_scalar(key);
}

bool is_container(const Value& v) {
  return v.is<List>() || v.is<Tuple>() || v.is<Map>();
}

}  // namespace

std::string json_text(const Value& root, int indent) {
  std::string out;
  struct Open {
    const Value* container;
    std::size_t next_entry;  // item or key-value pair
  };
  std::vector<Open> open;
  const auto begin = [&](const Value& v) {
    if (!is_container(v)) {
      out += json_scalar(v);
      return;
    }
    const bool map = v.is<Map>();
    if (child_count(v) == 0) {
      out += map ? "{}" : "[]";
      return;
    }
    out += map ? '{' : '[';
    open.push_back({&v, 0});
  };
  const std::size_t step = indent > 0 ? static_cast<std::size_t>(indent) : 0;
  const auto new_line = [&](std::size_t depth) {
    out += '\n';
    out.append(depth * step, ' ');
  };
  begin(root);
  while (!open.empty()) {
    const Value& container = *open.back().container;
    const std::size_t next = open.back().next_entry;
    const bool map = container.is<Map>();
    const std::size_t entries = map ? child_count(container) / 2 : child_count(container);
    if (next == entries) {
      new_line(open.size() - 1);
      out += map ? '}' : ']';
      open.pop_back();
      continue;
    }
    if (next > 0) out += ',';
    new_line(open.size());
    ++open.back().next_entry;
    if (map) {
      const auto& [key, value] = container.as<Map>().entries[next];
      out += json_string(key_text(key));
      out += ": ";
      begin(value);
    } else {
      begin(child(container, next));
    }
  }
  return out;
}

}  // namespace zelka::value
