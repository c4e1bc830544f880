// Reading a zip archive of stored (uncompressed) entries, trusting nothing it declares.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelka::io {

struct ZipEntry {
  std::string name;
  std::string_view content;  // inside the archive's bytes
};

// The entries of the archive `archive`, in the order of its central directory.  Every offset
// and size is checked against the bytes there are before anything is read through it.
// ValueError saying what is wrong (names as quoted() shows them): no
// end-of-central-directory record (a truncated file, or not a zip archive), records that
// reach past their bounds or disagree with each other, zip64 or multi-disk archives,
// compressed or encrypted entries, a CRC-32 that does not match, entries that overlap, a
// name repeated, or a name that is empty, not UTF-8, absolute ("/x", "C:x"), holds a
// backslash or a NUL, or has an empty, "." or ".." part.
std::vector<ZipEntry> read_stored_zip(std::string_view archive);

}  // namespace zelka::io
