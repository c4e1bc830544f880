#include "core/text/template.hpp"

#include <algorithm>

namespace zelka::text {

std::string fill(std::string_view tmpl, const Fields& fields) {
  std::string out;
  out.reserve(tmpl.size() + 64);
  std::size_t i = 0;
  while (i < tmpl.size()) {
    if (tmpl[i] == '{') {
      const std::size_t close = tmpl.find('}', i + 1);
      if (close != std::string_view::npos) {
        const std::string_view name = tmpl.substr(i + 1, close - i - 1);
        const auto field = std::find_if(fields.begin(), fields.end(),
                                        [&](const auto& f) { return f.first == name; });
        if (field != fields.end()) {
          out += field->second;
          i = close + 1;
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
  std::string out;
  out.reserve(s.size());
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\n') {
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
