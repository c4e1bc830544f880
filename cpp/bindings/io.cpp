// zelka._io: graph files (zelka.io).
#include <nanobind/nanobind.h>

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
}
