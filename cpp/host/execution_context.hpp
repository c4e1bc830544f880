// The execution order and predecessor lists of a graph, from the CPU graph utilities'
// build_execution_context (bound when called): the one way every operation obtains them.
#pragma once

#include "host/python.hpp"

namespace zelka::host {

struct ExecutionContext {
  nb::object exec_order, predecessors, is_dag;
};

// The unpacked (exec_order, predecessors, is_dag) of build_execution_context(graph); a
// result of another length raises the ValueError unpacking raises, worded as `wording`.
ExecutionContext execution_context(nb::handle graph,
                                   UnpackWording wording = UnpackWording::current);

}  // namespace zelka::host
