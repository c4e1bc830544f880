#include "core/io/zip_reader.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_set>

#include "core/errors.hpp"
#include "core/io/crc32.hpp"
#include "core/io/quoted.hpp"
#include "core/io/zip_records.hpp"
#include "core/text/utf8.hpp"

namespace zelka::io {
namespace {

using zip::get16;
using zip::get32;

[[noreturn]] void fail(const std::string& what) {
  throw ValueError(what);
}

bool is_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t start = i;
    if (text::next_code_point(text, i) == 0xfffd && i - start == 1) return false;
  }
  return true;
}

// Why `name` is not a plain relative path inside the archive, or "" when it is one.
std::string name_problem(std::string_view name) {
  if (name.empty()) return "is empty";
  if (!is_utf8(name)) return "is not UTF-8";
  if (name.find('\0') != std::string_view::npos) return "holds a NUL byte";
  if (name.find('\\') != std::string_view::npos) return "holds a backslash";
  if (name.front() == '/') return "is absolute";
  if (name.size() >= 2 && name[1] == ':') return "is absolute (a drive letter)";
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (part == "..") return "leaves the archive (a \"..\" part)";
    if (part.empty() || part == ".") return "has an empty or \".\" part";
    start = end + 1;
  }
  return "";
}

// The end-of-central-directory record: the last one whose comment reaches exactly to the end.
std::size_t find_end_record(std::string_view archive) {
  if (archive.size() < zip::end_record_size)
    fail("the file is " + std::to_string(archive.size()) +
         " bytes long, too short for a zip archive (truncated, or not a zip archive)");
  const std::size_t last = archive.size() - zip::end_record_size;
  const std::size_t first = last > 0xffff ? last - 0xffff : 0;
  for (std::size_t at = last + 1; at-- > first;) {
    if (get32(archive, at) == zip::end_record_signature &&
        at + zip::end_record_size + get16(archive, at + 20) == archive.size())
      return at;
  }
  fail(
      "no end-of-central-directory record at the end of the file (truncated, or not a zip "
      "archive)");
}

// Where the end-of-central-directory record puts the central directory.
struct Directory {
  std::uint16_t count;
  std::uint32_t size, at;
};

Directory read_end_record(std::string_view archive) {
  const std::size_t end_at = find_end_record(archive);
  if (end_at >= zip::zip64_end_locator_size &&
      get32(archive, end_at - zip::zip64_end_locator_size) == zip::zip64_end_locator_signature)
    fail("zip64 archives are not read");
  const std::uint16_t disk = get16(archive, end_at + 4);
  const std::uint16_t directory_disk = get16(archive, end_at + 6);
  const std::uint16_t count_here = get16(archive, end_at + 8);
  const Directory d{get16(archive, end_at + 10), get32(archive, end_at + 12),
                    get32(archive, end_at + 16)};
  if (disk != 0 || directory_disk != 0 || count_here != d.count)
    fail("archives spanning several disks are not read");
  if (d.count == zip::zip64_marker_16 || d.size == zip::zip64_marker_32 ||
      d.at == zip::zip64_marker_32)
    fail("zip64 archives are not read");
  if (std::uint64_t{d.at} + d.size > end_at)
    fail("the central directory (" + std::to_string(d.size) + " bytes at " + std::to_string(d.at) +
         ") reaches past its end record at " + std::to_string(end_at) + " (truncated?)");
  if (std::uint64_t{d.count} * zip::central_header_size > d.size)
    fail("the central directory of " + std::to_string(d.size) + " bytes cannot hold the " +
         std::to_string(d.count) + " entries the end record declares");
  return d;
}

// A central directory record, the fields a stored entry uses.
struct CentralRecord {
  std::uint16_t flags, method;
  std::uint32_t crc, stored_size, size, local_at;
  std::string_view name;
  std::size_t end;  // where the next record starts
};

CentralRecord read_central_record(std::string_view archive, std::size_t at,
                                  std::size_t directory_end, std::size_t number) {
  if (at + zip::central_header_size > directory_end ||
      get32(archive, at) != zip::central_header_signature)
    fail("central directory record " + std::to_string(number) + " is missing or damaged");
  CentralRecord r{get16(archive, at + 8),
                  get16(archive, at + 10),
                  get32(archive, at + 16),
                  get32(archive, at + 20),
                  get32(archive, at + 24),
                  get32(archive, at + 42),
                  {},
                  0};
  const std::uint16_t name_length = get16(archive, at + 28);
  r.end = at + zip::central_header_size + name_length + get16(archive, at + 30) +
          get16(archive, at + 32);
  if (r.end > directory_end)
    fail("central directory record " + std::to_string(number) + " reaches past the directory");
  r.name = archive.substr(at + zip::central_header_size, name_length);
  return r;
}

// The content of the entry `r` describes, once its local header agrees and its CRC-32 holds.
std::string_view entry_content(std::string_view archive, const CentralRecord& r,
                               std::uint32_t directory_at, const std::string& shown) {
  if (r.flags & zip::flag_encrypted) fail("entry " + shown + " is encrypted");
  if (r.method != zip::method_stored)
    fail("entry " + shown + " is compressed (method " + std::to_string(r.method) +
         "); zelka reads stored entries only");
  if (r.stored_size != r.size)
    fail("entry " + shown + " declares " + std::to_string(r.stored_size) + " stored bytes for " +
         std::to_string(r.size) + " bytes of content");
  if (std::uint64_t{r.local_at} + zip::local_header_size > directory_at ||
      get32(archive, r.local_at) != zip::local_header_signature)
    fail("the local header of entry " + shown + " is missing or damaged");
  const std::uint64_t content_at = std::uint64_t{r.local_at} + zip::local_header_size +
                                   get16(archive, r.local_at + 26) +
                                   get16(archive, r.local_at + 28);
  if (content_at + r.size > directory_at)
    fail("entry " + shown + " (" + std::to_string(r.size) + " bytes) reaches past the data " +
         "into the central directory (truncated?)");
  if (archive.substr(r.local_at + zip::local_header_size, get16(archive, r.local_at + 26)) !=
          r.name ||
      get16(archive, r.local_at + 8) != r.method || get32(archive, r.local_at + 14) != r.crc ||
      get32(archive, r.local_at + 18) != r.stored_size || get32(archive, r.local_at + 22) != r.size)
    fail("the local header of entry " + shown + " disagrees with the central directory");
  const std::string_view content = archive.substr(content_at, r.size);
  if (crc32(content) != r.crc) fail("entry " + shown + " is damaged (its CRC-32 differs)");
  return content;
}

}  // namespace

std::vector<ZipEntry> read_stored_zip(std::string_view archive) {
  const Directory directory = read_end_record(archive);
  std::vector<ZipEntry> entries;
  entries.reserve(directory.count);
  struct Span {
    std::uint64_t begin, end;
    std::size_t entry;
  };
  std::vector<Span> spans;
  std::unordered_set<std::string_view> names;
  std::size_t at = directory.at;
  for (std::size_t i = 0; i < directory.count; ++i) {
    const CentralRecord r =
        read_central_record(archive, at, std::size_t{directory.at} + directory.size, i);
    const std::string shown = quoted(r.name);
    if (const std::string problem = name_problem(r.name); !problem.empty())
      fail("entry name " + shown + " " + problem);
    if (!names.insert(r.name).second) fail("entry " + shown + " appears twice");
    const std::string_view content = entry_content(archive, r, directory.at, shown);
    spans.push_back({r.local_at,
                     static_cast<std::uint64_t>(content.data() + content.size() - archive.data()),
                     i});
    entries.push_back({std::string(r.name), content});
    at = r.end;
  }
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.begin < b.begin; });
  for (std::size_t k = 1; k < spans.size(); ++k)
    if (spans[k].begin < spans[k - 1].end)
      fail("entries " + quoted(entries[spans[k - 1].entry].name) + " and " +
           quoted(entries[spans[k].entry].name) + " overlap");
  return entries;
}

}  // namespace zelka::io
