// zelka._io: graph files (zelka.io), and files written into a folder all or nothing.
#include <nanobind/nanobind.h>

#include "host/io/file_set.hpp"
#include "host/io/graph_file.hpp"
#include "host/numpy.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka::host;

NB_MODULE(_io, m) {
  Numpy::load();
  register_core_exceptions();
  m.def("save_graph", &io::save_graph, "graph"_a.none(), "path"_a.none(),
        "Write `graph` to the graph file `path`, all or nothing.");
  m.def("load_graph", &io::load_graph, "path"_a.none(), "The graph saved in the file `path`.");
  m.def("write_files", &io::write_files, "folder"_a.none(), "files"_a.none(),
        "Write each (name, bytes) pair of `files` as folder/name, all or nothing.");
}
