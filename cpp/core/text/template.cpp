#include "core/text/template.hpp"

#include <algorithm>
#include <stdexcept>

namespace zelka::text {

namespace {

constexpr std::string_view open_mark = "«";
constexpr std::string_view close_mark = "»";

// A template's fault, with the template's first line to find it by.
[[noreturn]] void refuse(const std::string& fault, std::string_view tmpl) {
  throw std::logic_error(fault + " in the template starting \"" +
                         std::string(tmpl.substr(0, tmpl.find('\n'))) + "\"");
}

std::string marked(std::string_view name) {
  return std::string(open_mark) + std::string(name) + std::string(close_mark);
}

}  // namespace

std::string fill(std::string_view tmpl, const Fields& fields) {
  for (auto field = fields.begin(); field != fields.end(); ++field)
    if (std::find_if(fields.begin(), field,
                     [&](const auto& f) { return f.first == field->first; }) != field)
      refuse("field " + marked(field->first) + " given twice", tmpl);
  std::vector<bool> used(fields.size(), false);
  std::string out;
  out.reserve(tmpl.size() + 64);
  std::size_t copied = 0;
  for (std::size_t at = tmpl.find(open_mark); at != std::string_view::npos;
       at = tmpl.find(open_mark, copied)) {
    const std::size_t name_start = at + open_mark.size();
    const std::size_t name_end = tmpl.find(close_mark, name_start);
    if (name_end == std::string_view::npos) refuse("a « without its »", tmpl);
    const std::string_view name = tmpl.substr(name_start, name_end - name_start);
    const auto field =
        std::find_if(fields.begin(), fields.end(), [&](const auto& f) { return f.first == name; });
    if (field == fields.end()) refuse("placeholder " + marked(name) + " without a field", tmpl);
    used[field - fields.begin()] = true;
    out.append(tmpl, copied, at - copied);
    out += field->second;
    copied = name_end + close_mark.size();
  }
  out.append(tmpl, copied);
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (!used[i]) refuse("field " + marked(fields[i].first) + " that no placeholder names", tmpl);
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
