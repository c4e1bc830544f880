// Reading a file into memory.
#pragma once

#include <functional>
#include <string>

namespace zelka::io {

// The bytes of the regular file at `path` (file-system bytes): at most the size it had when
// opened, read in chunks of a few megabytes with `between_chunks` (when given) called between
// them.  Anything else (a directory, FIFO, socket or device) is refused with NotRegularFile
// (file_kind.hpp) without reading from it: the file is opened without waiting for a FIFO's
// writer.  OSError naming the path when it cannot be opened or read.
std::string read_whole_file(const std::string& path,
                            const std::function<void()>& between_chunks = {});

}  // namespace zelka::io
