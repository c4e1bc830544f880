// A graph made from the manifest of a graph file and its arrays.
#pragma once

#include "core/io/graph_archive.hpp"
#include "host/python.hpp"

namespace zelka::host::io {

// The zelka.ir.Graph that `archive`'s manifest describes, in the form encode_graph writes:
// nodes of the zelka.ir kinds, made with their attributes (a missing one takes its default),
// numpy arrays copied out of the archive once their dtype and shape agree with the manifest.
// Nothing else is called or imported.  ValueError naming the place in the manifest and what
// is wrong: an unknown kind or attribute, a required attribute missing, a name repeated, a
// value in no known form, or an array that disagrees with the manifest or is not used.
nb::object decode_graph(zelka::io::GraphArchive& archive);

}  // namespace zelka::host::io
