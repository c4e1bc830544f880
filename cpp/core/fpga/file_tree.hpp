// Reading the files below a folder, for copying them into a project.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zelka::fpga {

// Every regular file below `root` (file-system bytes), as its path relative to `root` with
// '/' between the parts, and its content; sorted by path.  A failure is an OSError.
std::vector<std::pair<std::string, std::string>> read_file_tree(const std::string& root);

}  // namespace zelka::fpga
