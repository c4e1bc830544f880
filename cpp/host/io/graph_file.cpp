#include "host/io/graph_file.hpp"

#include <string>

#include "core/errors.hpp"
#include "core/io/graph_archive.hpp"
#include "core/io/temp_file.hpp"
#include "core/io/whole_file.hpp"
#include "host/io/graph_decoder.hpp"
#include "host/io/graph_encoder.hpp"
#include "host/paths.hpp"

namespace zelka::host::io {

void save_graph(nb::handle graph, nb::handle path) {
  const std::string target = fs_path(path_argument(path, "path"));
  const EncodedGraph encoded = encode_graph(graph);
  const std::string bytes = zelka::io::graph_archive(encoded.graph, encoded.arrays);
  nb::gil_scoped_release release;
  zelka::io::TempFile file(target);
  file.write(bytes, run_signal_handlers_unlocked);
  file.move_into_place();
}

nb::object load_graph(nb::handle path) {
  const nb::str name = path_argument(path, "path");
  const std::string source = fs_path(name);
  std::string bytes;
  {
    nb::gil_scoped_release release;
    bytes = zelka::io::read_whole_file(source);
  }
  try {
    zelka::io::GraphArchive archive(bytes);
    return decode_graph(archive);
  } catch (const ValueError& e) {
    raise_formatted(PyExc_ValueError, "{}: {}", name, e.what());
  }
}

}  // namespace zelka::host::io
