// The CRC-32 of zip archives (ISO 3309, reflected polynomial 0xEDB88320).
#pragma once

#include <cstdint>
#include <string_view>

namespace zelka::io {

// The checksum of `bytes` continued from `crc` (0 for the start of the data).
std::uint32_t crc32(std::string_view bytes, std::uint32_t crc = 0);

}  // namespace zelka::io
