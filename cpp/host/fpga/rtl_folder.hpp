// The folder of a Verilog design, as the functions that run tools on it find it.
#pragma once

#include <string>

#include "host/python.hpp"

namespace zelka::host::fpga {

struct DesignFolder {
  nb::object folder;      // absolute, as the host names it
  std::string directory;  // the same as file-system bytes
  std::string name;       // the design's project name
};

// The one design in `project_dir` (a path argument); ValueError when it holds none or several.
DesignFolder design_in(nb::handle project_dir);

}  // namespace zelka::host::fpga
