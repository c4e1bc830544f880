// Saving a graph to one file and loading it again.
#pragma once

#include "host/python.hpp"

namespace zelka::host::io {

// Writes `graph` to `path` (str, bytes or os.PathLike) all or nothing: to a new file beside
// it, renamed over it once complete.  ValueError for what encode_graph refuses or a graph
// too large for the file; OSError from the file system; KeyboardInterrupt leaves no file.
void save_graph(nb::handle graph, nb::handle path);

// The graph saved at `path`.  ValueError "<path>: <what is wrong>" for a file that is not a
// graph file of a version this zelka reads, or is damaged; OSError when it cannot be read.
nb::object load_graph(nb::handle path);

}  // namespace zelka::host::io
