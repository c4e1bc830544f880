#include "host/io/graph_file.hpp"

#include <string>

#include "core/errors.hpp"
#include "core/io/file_kind.hpp"
#include "core/io/graph_archive.hpp"
#include "core/io/link_end.hpp"
#include "core/io/temp_file.hpp"
#include "core/io/whole_file.hpp"
#include "host/io/graph_decoder.hpp"
#include "host/io/graph_encoder.hpp"
#include "host/paths.hpp"

namespace zelka::host::io {
namespace {

// Where a graph saved to `path` goes: `path`, or the end of the symbolic links it starts;
// ValueError when that is anything but a regular file or nothing.
std::string save_target(const nb::str& name) {
  const std::string path = fs_path(name);
  const std::string target = zelka::io::link_end(path);
  try {
    zelka::io::require_regular_or_absent(target);
  } catch (const zelka::io::NotRegularFile& e) {
    if (target == path)
      raise_formatted(PyExc_ValueError, "{} is {}; save replaces regular files only", name, e.kind);
    raise_formatted(PyExc_ValueError, "{} leads to {}, {}; save replaces regular files only", name,
                    host_path(target), e.kind);
  }
  return target;
}

}  // namespace

void save_graph(nb::handle graph, nb::handle path) {
  const std::string target = save_target(path_argument(path, "path"));
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
  try {
    nb::gil_scoped_release release;
    bytes = zelka::io::read_whole_file(source, run_signal_handlers_unlocked);
  } catch (const zelka::io::NotRegularFile& e) {
    raise_formatted(PyExc_ValueError, "{} is {}, not a graph file", name, e.kind);
  }
  try {
    zelka::io::GraphArchive archive(bytes);
    return decode_graph(archive);
  } catch (const ValueError& e) {
    raise_formatted(PyExc_ValueError, "{}: {}", name, e.what());
  }
}

}  // namespace zelka::host::io
