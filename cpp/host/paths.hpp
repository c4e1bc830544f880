// Paths as the host names them (str) and as the file system does
// (bytes, os.fsencode).
#pragma once

#include <string>

#include "host/python.hpp"

namespace zelka::host {

// A path argument as the host names it: a str as it is, bytes and os.PathLike objects
// through os.fspath and os.fsdecode; TypeError naming the argument for anything else.
nb::str path_argument(nb::handle value, const char* name);

// `folder` and `relative` (file-system bytes) joined by "/", unless `folder` already ends
// with it.
std::string join(const std::string& folder, const std::string& relative);

// The file-system bytes of a path (os.fsencode); ValueError "embedded null byte" for a
// path the system cannot name.
std::string fs_path(nb::handle path);

// The host's str for file-system bytes (os.fsdecode).
nb::str host_path(const std::string& fs_bytes);

// The folder part of a path in file-system bytes ("" when it has none).
std::string parent_of(const std::string& fs_bytes);

}  // namespace zelka::host
