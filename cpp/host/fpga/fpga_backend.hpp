// What the FPGA backend says about graphs and itself: the node kinds it takes, validation,
// capabilities and the limits of its default target.
#pragma once

#include "host/ir_kinds.hpp"

namespace zelka::host::fpga {

// Sorted by character code, the order users see.
inline constexpr auto supported_kinds = zelka::ir::kinds_taken_by<zelka::ir::fpga_backend, true>();

// A new frozenset / list of the supported kind names.
nb::object supported_kind_set();
nb::list supported_kind_list();

// A ValidationResult: an empty graph, edge ends that name no node (in unsupported_nodes,
// once per occurrence) and nodes of unsupported kinds (in unsupported_nodes, with a
// warning).  Input and Output nodes are skipped.  An edge that is not a pair raises the
// unpacking ValueError.
nb::object validate(nb::handle graph);

// New records on every call.
nb::object capabilities();
nb::object constraints();

}  // namespace zelka::host::fpga
