#include "core/io/zip_writer.hpp"

#include <cstdint>

#include "core/errors.hpp"
#include "core/io/crc32.hpp"
#include "core/io/zip_records.hpp"

namespace zelka::io {
namespace {

// The fields that the local and the central header of an entry share, from "version
// needed" to the name's length.
void put_common_fields(std::string& out, std::uint16_t flags, std::uint32_t crc, std::uint32_t size,
                       std::size_t name_length) {
  zip::put16(out, zip::version_needed);
  zip::put16(out, flags);
  zip::put16(out, zip::method_stored);
  zip::put16(out, 0);  // time 00:00
  zip::put16(out, zip::dos_date_1980_01_01);
  zip::put32(out, crc);
  zip::put32(out, size);  // compressed
  zip::put32(out, size);  // uncompressed
  zip::put16(out, static_cast<std::uint16_t>(name_length));
  zip::put16(out, 0);  // extra field length
}

bool is_ascii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

}  // namespace

std::string stored_zip(const std::vector<ZipSource>& entries) {
  const auto too_large = [] {
    throw ValueError(
        "the archive would need more than 65534 entries or 4 GiB, which takes zip64 records "
        "that zelka does not write");
  };
  if (entries.size() >= zip::zip64_marker_16) too_large();
  std::uint64_t total = zip::end_record_size;
  for (const ZipSource& e : entries) {
    if (e.name.size() >= zip::zip64_marker_16) too_large();
    total += zip::local_header_size + zip::central_header_size + 2 * e.name.size();
    for (std::string_view part : e.parts) total += part.size();
  }
  if (total >= zip::zip64_marker_32) too_large();

  std::string out;
  out.reserve(static_cast<std::size_t>(total));
  std::string central;
  for (const ZipSource& e : entries) {
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    for (std::string_view part : e.parts) {
      crc = crc32(part, crc);
      size += part.size();
    }
    const std::uint16_t flags = is_ascii(e.name) ? 0 : zip::flag_utf8_names;
    const auto offset = static_cast<std::uint32_t>(out.size());
    zip::put32(out, zip::local_header_signature);
    put_common_fields(out, flags, crc, static_cast<std::uint32_t>(size), e.name.size());
    out += e.name;
    for (std::string_view part : e.parts) out.append(part);

    zip::put32(central, zip::central_header_signature);
    zip::put16(central, zip::version_needed);  // version made by: MS-DOS attributes
    put_common_fields(central, flags, crc, static_cast<std::uint32_t>(size), e.name.size());
    zip::put16(central, 0);  // comment length
    zip::put16(central, 0);  // disk number
    zip::put16(central, 0);  // internal attributes
    zip::put32(central, 0);  // external attributes
    zip::put32(central, offset);
    central += e.name;
  }
  const auto central_offset = static_cast<std::uint32_t>(out.size());
  out += central;
  zip::put32(out, zip::end_record_signature);
  zip::put16(out, 0);  // this disk
  zip::put16(out, 0);  // the disk of the central directory
  zip::put16(out, static_cast<std::uint16_t>(entries.size()));
  zip::put16(out, static_cast<std::uint16_t>(entries.size()));
  zip::put32(out, static_cast<std::uint32_t>(central.size()));
  zip::put32(out, central_offset);
  zip::put16(out, 0);  // comment length
  return out;
}

}  // namespace zelka::io
