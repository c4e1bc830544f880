#include "core/text/utf8.hpp"

namespace zelka::text {

char32_t next_code_point(std::string_view text, std::size_t& i) {
  constexpr char32_t replacement = 0xfffd;
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  char32_t cp = 0;
  char32_t smallest = 0;  // below it the sequence would be an overlong form
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if ((lead & 0xe0) == 0xc0) {
    length = 2, cp = lead & 0x1f, smallest = 0x80;
  } else if ((lead & 0xf0) == 0xe0) {
    length = 3, cp = lead & 0x0f, smallest = 0x800;
  } else if ((lead & 0xf8) == 0xf0) {
    length = 4, cp = lead & 0x07, smallest = 0x10000;
  } else {
    ++i;
    return replacement;
  }
  if (i + length > text.size()) {
    ++i;
    return replacement;
  }
  for (std::size_t k = 1; k < length; ++k) {
    const auto byte = static_cast<unsigned char>(text[i + k]);
    if ((byte & 0xc0) != 0x80) {
      ++i;
      return replacement;
    }
    cp = (cp << 6) | (byte & 0x3f);
  }
  if (cp < smallest || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
    ++i;
    return replacement;
  }
  i += length;
  return cp;
}

}  // namespace zelka::text
