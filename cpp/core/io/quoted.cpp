#include "core/io/quoted.hpp"

namespace zelka::io {

std::string quoted(std::string_view bytes) {
  static const char hex[] = "0123456789abcdef";
  std::string out = "'";
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && c != '\'' && c != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += hex[byte >> 4];
      out += hex[byte & 15];
    }
  }
  return out + "'";
}

}  // namespace zelka::io
