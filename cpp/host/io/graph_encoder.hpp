// A graph as the manifest of a graph file and the arrays it refers to.
#pragma once

#include <memory>
#include <vector>

#include "core/io/graph_archive.hpp"
#include "core/value/value.hpp"
#include "host/numpy.hpp"

namespace zelka::host::io {

struct EncodedGraph {
  value::Value graph;                             // the manifest's "graph" member
  std::vector<zelka::io::ArrayBytes> arrays;      // array n of the manifest, viewing `views`
  std::vector<std::unique_ptr<ArrayData>> views;  // C-contiguous arrays, held until written
};

// The manifest form of `graph` (a zelka.ir.Graph; TypeError otherwise).  Node names are
// str; node kinds are those of zelka.ir (not subclasses); attribute values, edges and the
// cyclic configuration may be None, bool, int, float, complex, str, list, tuple, dict with
// str keys, numpy arrays and scalars of numeric or bool dtypes, and graphs, nested up to the
// manifest's depth.  Anything else is a ValueError naming the node and attribute (or the
// edge, or cyclic_config) and what it holds.  An array held in several places is stored once
// and comes back as one array.
EncodedGraph encode_graph(nb::handle graph);

}  // namespace zelka::host::io
