// The execution order of a graph's nodes: Kahn's algorithm with ties broken by the nodes'
// order, cycles broken at the earliest node left.
#pragma once

#include "host/python.hpp"

namespace zelka::host {

// (order, predecessors, is_dag) for the node names `names` (a list, in the graph's order)
// and the (src, dst) pairs `edges`: `order` holds every name once; `predecessors[name]`
// lists the sources of the edges into `name` in edge order (unknown sources included), with
// a key for every name; `is_dag` is false when a cycle had to be broken.  Edges that are not
// pairs raise the errors Python's unpacking raises.
nb::tuple stable_order(nb::handle names, nb::handle edges);

// stable_order of a graph: the names of `graph.nodes` in its order and `graph.edges`.
nb::tuple graph_stable_order(nb::handle graph);

}  // namespace zelka::host
