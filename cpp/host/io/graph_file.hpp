// Saving a graph to one file and loading it again.
#pragma once

#include "host/python.hpp"

namespace zelka::host::io {

// Writes `graph` to `path` (str, bytes or os.PathLike) all or nothing: to a new file beside
// it, renamed over it once complete; a symbolic link is followed to the file it leads to,
// which is replaced instead of the link.  ValueError naming the path when it names or leads to
// anything but a regular file or nothing, for what encode_graph refuses or a graph too large
// for the file; OSError from the file system; KeyboardInterrupt leaves no file.
void save_graph(nb::handle graph, nb::handle path);

// The graph saved at `path`.  ValueError "<path> is a FIFO, not a graph file" (and the like)
// for anything but a regular file, refused without reading from it; "<path>: <what is wrong>"
// for a file that is not a graph file of a version this zelka reads, or is damaged; OSError
// when it cannot be read.  The reading stops on Ctrl-C.
nb::object load_graph(nb::handle path);

}  // namespace zelka::host::io
