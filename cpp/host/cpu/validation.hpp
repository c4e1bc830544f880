// What the CPU backend says about graphs and itself: structural validation, the node
// kinds and precisions it accepts, and the limits of its target.
#pragma once

#include "host/python.hpp"

namespace zelka::host::cpu {

// A ValidationResult: empty graphs and edges naming missing nodes, in its warnings.
nb::object validate(nb::handle graph);

// validate(graph).is_valid, without building the result.
bool is_valid(nb::handle graph);

// A new BackendCapabilities / HardwareSpec on every call (callers may change them).
nb::object capabilities();
nb::object constraints();

}  // namespace zelka::host::cpu
