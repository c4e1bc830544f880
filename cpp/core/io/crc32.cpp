#include "core/io/crc32.hpp"

#include <array>

namespace zelka::io {
namespace {

// Slicing by four: table k advances the remainder by k further zero bytes.
using Tables = std::array<std::array<std::uint32_t, 256>, 4>;

constexpr Tables make_tables() {
  Tables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (std::uint32_t i = 0; i < 256; ++i)
    for (int k = 1; k < 4; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xff];
  return t;
}

constexpr Tables tables = make_tables();

}  // namespace

std::uint32_t crc32(std::string_view bytes, std::uint32_t crc) {
  std::uint32_t c = ~crc;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  for (; n >= 4; n -= 4, p += 4) {
    c ^= static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    c = tables[3][c & 0xff] ^ tables[2][(c >> 8) & 0xff] ^ tables[1][(c >> 16) & 0xff] ^
        tables[0][c >> 24];
  }
  for (; n > 0; --n, ++p) c = tables[0][(c ^ *p) & 0xff] ^ (c >> 8);
  return ~c;
}

}  // namespace zelka::io
