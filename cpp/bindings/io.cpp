// zelka._io: graph files (zelka.io), and files written into a folder all or nothing.
#include <nanobind/nanobind.h>

#include "host/io/file_set.hpp"
#include "host/io/graph_file.hpp"
#include "host/numpy.hpp"
#include "host/python_types.hpp"
#include "host/typed_function.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka::host;
namespace py = zelka::host::python_type;

NB_MODULE(_io, m) {
  Numpy::load();
  register_core_exceptions();
  def_typed(
      m, "save_graph",
      [](Arg<py::Graph> graph, Arg<py::Path> path) { io::save_graph(graph, path); }, "graph"_a,
      "path"_a, "Write `graph` to the graph file `path`, all or nothing.");
  def_typed(
      m, "load_graph",
      [](Arg<py::Path> path) -> Returns<py::Graph> { return io::load_graph(path); }, "path"_a,
      "The graph saved in the file `path`.");
  def_typed(
      m, "write_files",
      [](Arg<py::Path> folder, Arg<py::NamedBytes> files) { io::write_files(folder, files); },
      "folder"_a, "files"_a,
      "Write each (name, bytes) pair of `files` as folder/name, all or nothing.");
}
