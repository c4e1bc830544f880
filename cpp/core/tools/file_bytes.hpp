// Whole files read into memory.
#pragma once

#include <string>

namespace zelka::tools {

// The bytes of the file `path` (file-system bytes); zelka::OSError naming it when it cannot be
// read.
std::string file_bytes(const std::string& path);

}  // namespace zelka::tools
