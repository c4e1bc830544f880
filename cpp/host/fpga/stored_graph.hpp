// The graph an SNN HLS project stores beside its firmware (graph.zelka, in zelka.io's form), so
// that its C simulation can be run again on new samples, and the digest that ties the file to
// the project's data.
#pragma once

#include <string>

#include "host/python.hpp"

namespace zelka::host::fpga {

// The stored graph's path below the project folder.
inline constexpr const char* stored_graph_file = "graph.zelka";

// The bytes of the graph file of `graph`, as zelka.io.save writes it; its ValueError for a graph
// it cannot save.
std::string stored_graph_bytes(nb::handle graph);

// How messages name what runs new samples on a project, the function that runs them and the
// one that writes the project.
struct ProjectUse {
  const char* simulation;
  const char* runner;
  const char* writer;
};
inline constexpr ProjectUse hls_project_use{"its C simulation", "csim", "write_snn_project"};
inline constexpr ProjectUse rtl_design_use{"its Verilator test bench", "simulate_rtl",
                                           "write_rtl_project"};

// The graph stored in the project folder `folder` (`directory`: its file-system bytes), as
// zelka.io.load reads it.  ValueError when the file is missing or no regular file (a FIFO is
// not waited on), or its SHA-256 digest is not `digest`, the one the project's data were
// written with.
nb::object load_stored_graph(nb::handle folder, const std::string& directory, const ProjectUse& use,
                             const std::string& digest);

}  // namespace zelka::host::fpga
