// Generated files written into a project folder all or nothing, Ctrl-C honoured while they
// are written.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "host/python.hpp"

namespace zelka::host::fpga {

// Writes each (relative path, text) below `folder` (file-system bytes) with a ProjectWriter:
// nothing stays written unless all are.  Returns the paths written, as the host names them,
// in order.
nb::list write_project_files(const std::string& folder,
                             const std::vector<std::pair<std::string, std::string>>& files);

}  // namespace zelka::host::fpga
