// Reading a file into memory.
#pragma once

#include <string>

namespace zelka::io {

// The bytes of the file at `path` (file-system bytes), read to its end.  OSError naming the
// path when it cannot be opened or read, or is a directory.
std::string read_whole_file(const std::string& path);

}  // namespace zelka::io
