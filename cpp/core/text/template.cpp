#include "core/text/template.hpp"

#include <algorithm>

namespace zelka::text {

std::string fill(std::string_view tmpl, const Fields& fields) {
  return fill(tmpl, fields, "{", "}");
}

std::string fill(std::string_view tmpl, const Fields& fields, std::string_view open,
                 std::string_view close) {
  std::string out;
  out.reserve(tmpl.size() + 64);
  std::size_t i = 0;
  while (i < tmpl.size()) {
    if (tmpl.substr(i, open.size()) == open) {
      const std::size_t name_start = i + open.size();
      const std::size_t name_end = tmpl.find(close, name_start);
      if (name_end != std::string_view::npos) {
        const std::string_view name = tmpl.substr(name_start, name_end - name_start);
        const auto field = std::find_if(fields.begin(), fields.end(),
                                        [&](const auto& f) { return f.first == name; });
        if (field != fields.end()) {
          out += field->second;
          i = name_end + close.size();
          continue;
        }
      }
    }
    out += tmpl[i++];
  }
  return out;
}

std::string comment_safe(std::string_view s) {
  static const char hex[] = "0123456789abcdef";
  const std::size_t last_non_space = s.find_last_not_of(' ');
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char ch = s[i];
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\' && i == last_non_space) {
      out += "\\x5c";
    } else if (c == '?' && !out.empty() && out.back() == '?') {
      out += "\\x3f";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

bool has_trigraph(std::string_view text) {
  for (std::size_t at = text.find("??"); at != std::string_view::npos; at = text.find("??", at + 1))
    if (at + 2 < text.size() &&
        std::string_view("=/'()!<>-").find(text[at + 2]) != std::string_view::npos)
      return true;
  return false;
}

bool has_control_character(std::string_view utf8_text) {
  for (std::size_t i = 0; i < utf8_text.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8_text[i]);
    if (c < 0x20 || c == 0x7f) return true;
    // C1 controls U+0080..U+009F are encoded as 0xC2 0x80..0x9F.
    if (c == 0xc2 && i + 1 < utf8_text.size()) {
      const auto next = static_cast<unsigned char>(utf8_text[i + 1]);
      if (next >= 0x80 && next <= 0x9f) return true;
    }
  }
  return false;
}

}  // namespace zelka::text
