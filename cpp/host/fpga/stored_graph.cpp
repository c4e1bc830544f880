#include "host/fpga/stored_graph.hpp"

#include <cerrno>

#include "core/errors.hpp"
#include "core/io/file_kind.hpp"
#include "core/io/graph_archive.hpp"
#include "core/io/whole_file.hpp"
#include "core/tools/sha256.hpp"
#include "host/io/graph_decoder.hpp"
#include "host/io/graph_encoder.hpp"
#include "host/paths.hpp"

namespace zelka::host::fpga {

std::string stored_graph_bytes(nb::handle graph) {
  const io::EncodedGraph encoded = io::encode_graph(graph);
  return zelka::io::graph_archive(encoded.graph, encoded.arrays);
}

nb::object load_stored_graph(nb::handle folder, const std::string& directory, const ProjectUse& use,
                             const std::string& digest) {
  const std::string path = join(directory, stored_graph_file);
  std::string bytes;
  try {
    bytes = zelka::io::read_whole_file(path, run_signal_handlers);
  } catch (const zelka::io::NotRegularFile& e) {
    raise_formatted(PyExc_ValueError,
                    "{!r}: {} is {}, not a graph file: write the project again with {}", folder,
                    stored_graph_file, e.kind, use.writer);
  } catch (const OSError& e) {
    if (e.error_number != ENOENT) throw;
    raise_formatted(PyExc_ValueError,
                    "{!r} holds no {}, the graph {} runs new samples on: write the project again "
                    "with {}",
                    folder, stored_graph_file, use.simulation, use.writer);
  }
  if (tools::sha256_hex(bytes) != digest)
    raise_formatted(PyExc_ValueError,
                    "{!r}: {} is not the graph the project was written from (it changed since): "
                    "write the project again with {}",
                    folder, stored_graph_file, use.writer);
  zelka::io::GraphArchive archive(bytes);
  return io::decode_graph(archive);
}

}  // namespace zelka::host::fpga
