// The CPU backend's compile: a hardware descriptor grouping the graph's compute nodes,
// their weight arrays and their execution order by core.
#pragma once

#include "host/python.hpp"

namespace zelka::host::cpu {

// `compile_config` is the framework's CompileConfig class; `config` a CompileConfig or None
// (the caller's object is never modified).
nb::object compile(nb::handle graph, nb::handle config, nb::handle compile_config);

}  // namespace zelka::host::cpu
