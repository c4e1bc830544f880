// zelka.backend.cpu._graph_order: the execution order behind the CPU graph utilities'
// build_execution_context and the graph's is_dag.
#include "host/graph_order.hpp"

#include <nanobind/nanobind.h>

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(_graph_order, m) {
  m.def("stable_order", &zelka::host::stable_order, "names"_a, "edges"_a.none(),
        "(order, predecessors, is_dag) of the node names (a list) and the (src, dst) edges:\n"
        "Kahn's algorithm with ties broken by the names' order; when only cycles remain, the\n"
        "earliest remaining name goes next.");
}
