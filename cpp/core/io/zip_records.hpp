// The records of a zip archive (APPNOTE 6.3) that stored archives use, and their
// little-endian fields.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zelka::io::zip {

inline constexpr std::uint32_t local_header_signature = 0x04034b50;
inline constexpr std::uint32_t central_header_signature = 0x02014b50;
inline constexpr std::uint32_t end_record_signature = 0x06054b50;
inline constexpr std::uint32_t zip64_end_locator_signature = 0x07064b50;

inline constexpr std::size_t local_header_size = 30;
inline constexpr std::size_t central_header_size = 46;
inline constexpr std::size_t end_record_size = 22;
inline constexpr std::size_t zip64_end_locator_size = 20;

inline constexpr std::uint16_t version_needed = 20;
inline constexpr std::uint16_t method_stored = 0;
inline constexpr std::uint16_t flag_encrypted = 0x0001;
inline constexpr std::uint16_t flag_utf8_names = 0x0800;
inline constexpr std::uint16_t dos_date_1980_01_01 = 0x0021;

// Counts and sizes at these values mean "see the zip64 records".
inline constexpr std::uint32_t zip64_marker_16 = 0xffff;
inline constexpr std::uint32_t zip64_marker_32 = 0xffffffff;

inline void put16(std::string& out, std::uint16_t v) {
  out += static_cast<char>(v & 0xff);
  out += static_cast<char>(v >> 8);
}

inline void put32(std::string& out, std::uint32_t v) {
  put16(out, static_cast<std::uint16_t>(v & 0xffff));
  put16(out, static_cast<std::uint16_t>(v >> 16));
}

inline std::uint16_t get16(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    static_cast<unsigned char>(bytes[at + 1]) << 8);
}

inline std::uint32_t get32(std::string_view bytes, std::size_t at) {
  return get16(bytes, at) | static_cast<std::uint32_t>(get16(bytes, at + 2)) << 16;
}

}  // namespace zelka::io::zip
