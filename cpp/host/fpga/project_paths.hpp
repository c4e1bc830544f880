// Paths of a project folder as the host names them (str) and as the file system does
// (bytes, os.fsencode).
#pragma once

#include <string>

#include "host/python.hpp"

namespace zelka::host::fpga {

// A path argument as the host names it: a str as it is, bytes and os.PathLike objects
// through os.fspath and os.fsdecode; TypeError naming the argument for anything else.
nb::str path_argument(nb::handle value, const char* name);

// `left` and `right` joined by "/", unless `left` already ends with it.
nb::str join(nb::handle left, nb::handle right);

// The file-system bytes of a path (os.fsencode); ValueError "embedded null byte" for a
// path the system cannot name.
std::string fs_path(nb::handle path);

// The host's str for file-system bytes (os.fsdecode).
nb::str host_path(const std::string& fs_bytes);

// The folder part of a path in file-system bytes ("" when it has none).
std::string parent_of(const std::string& fs_bytes);

}  // namespace zelka::host::fpga
