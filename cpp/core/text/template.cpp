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

}  // namespace zelka::text
