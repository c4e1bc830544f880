// What a path names when it is not the regular file a reader or writer needs: directories,
// FIFOs, sockets and devices are refused by name instead of read without end or replaced.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "core/errors.hpp"

namespace zelka::io {

// The kind of file of `mode` (st_mode) as a message names it: "a regular file", "a directory",
// "a FIFO", "a socket", "a character device", "a block device", "a symbolic link".
std::string_view file_kind(mode_t mode);

// A path (file-system bytes) that names something other than a regular file where only one
// will do; `kind` is file_kind's text.  The message names the path (quoted) and the kind.
struct NotRegularFile : ValueError {
  NotRegularFile(std::string about, std::string_view what_it_is);
  std::string path;
  std::string kind;
};

// Throws NotRegularFile unless `path` names a regular file or nothing (a symbolic link is
// not followed: resolve it first).  OSError for a failure other than a missing file.
void require_regular_or_absent(const std::string& path);

}  // namespace zelka::io
