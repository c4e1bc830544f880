// The program of an SNN HLS project's C simulation: built with g++ from the project's firmware
// and test bench, and kept in the project (its csim/ folder) under the digest of its sources
// and build command, so that it is built again only when one of them changes, and of its own
// bytes, so that a kept program damaged since is built again instead of run.
#pragma once

#include <string>

#include "host/fpga/csim.hpp"

namespace zelka::host::fpga {

struct CsimProgram {
  std::string path;            // the program kept in the project, file-system bytes
  double build_seconds = 0.0;  // the g++ build's wall time; 0 when the kept program was current
};

// The program of project `name` in `directory` (file-system bytes of the folder `folder`
// names), built when the project keeps none for its current sources that is intact.  RuntimeError
// when g++ is not on the PATH or the build fails; TimeoutError when it outlasts limits.build (g++
// is then killed, as on Ctrl-C); OSError when the program cannot be kept in the project.
CsimProgram csim_program(nb::handle folder, const std::string& directory, const std::string& name,
                         const CsimLimits& limits);

}  // namespace zelka::host::fpga
