// The edges of a graph: (src, dst) pairs of node names.
#pragma once

#include <array>
#include <optional>

#include "host/python.hpp"

namespace zelka::host {

using EdgeEnds = std::array<nb::object, 2>;

// The source and destination of `edge`, or nothing when it is not a pair (not iterable, or
// of another length).  Errors raised while iterating it propagate.
std::optional<EdgeEnds> edge_ends(nb::handle edge);

// "Edge ('a', 'b', 'c') must be a (src, dst) pair": what is said of an edge that is not one.
nb::str not_a_pair_message(nb::handle edge);

// The ends of `edge`, or ValueError with not_a_pair_message.
EdgeEnds required_edge_ends(nb::handle edge);

}  // namespace zelka::host
