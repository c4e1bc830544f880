// Execution order, predecessors and shapes of a graph, as the FPGA configuration generator
// walks it.
#pragma once

#include "host/python.hpp"

namespace zelka::host::fpga {

// exec_order of the CPU graph utilities' build_execution_context (bound at call time).
nb::object topological_order(nb::handle graph);

// Node name -> names feeding it, in edge order; edges into unknown nodes are ignored.
nb::dict predecessor_map(nb::handle graph);

// The output shape of the node named pred_name as a tuple of ints, or None.
nb::object node_input_shape(nb::handle graph, nb::handle pred_name);

// The number of elements a node outputs, from its declared output shape or prev_shape.
nb::object node_output_size(nb::handle node, nb::handle prev_shape);

}  // namespace zelka::host::fpga
