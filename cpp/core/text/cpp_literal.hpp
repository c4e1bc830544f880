// Text written into generated C++ sources as a string literal.
#pragma once

#include <string>

namespace zelka::text {

// `text` as a C++ string literal.  '?' is escaped too: a C++14 compiler in strict mode reads
// trigraphs such as "??/".
inline std::string cpp_string_literal(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\' || c == '?') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace zelka::text
