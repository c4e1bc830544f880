// Writing a zip archive of stored (uncompressed) entries.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelka::io {

// An entry to store: its name and its content, given in pieces that follow one another.
struct ZipSource {
  std::string name;
  std::vector<std::string_view> parts;
};

// The bytes of a zip archive holding `entries` in their order, uncompressed, each with its
// CRC-32, dated 1980-01-01 00:00 (so that equal entries make equal archives).  ValueError
// when the archive would need the zip64 records: more than 65534 entries, or 4 GiB and more.
std::string stored_zip(const std::vector<ZipSource>& entries);

}  // namespace zelka::io
