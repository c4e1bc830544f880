// The parameters.h header of an IR graph: one configuration block per computing node, in
// execution order, rendered by the core's templates.
#pragma once

#include <string>

#include "host/python.hpp"

namespace zelka::host::fpga {

struct ParametersSettings {
  nb::handle default_precision;     // str
  nb::handle default_reuse_factor;  // int
  nb::handle io_type;               // str
  // The SNN project builds every LIF rule itself and its parameters.h only describes the LIF
  // layers; elsewhere a LIF node with another rule than the default is refused.
  bool any_lif_rule = false;
};

// Every text pasted into the header outside a comment (types, reuse factors and
// dimensions as given) must hold no line break or other control character: ValueError
// "{node}: {attribute} must be text without line breaks or other control characters
// (got {repr})", or "Argument 'default_precision' must be ..." for the default type.  A
// NaN threshold or leak of an LIF node is a ValueError too; infinite ones are written
// through std::numeric_limits.
std::string parameters_h(nb::handle graph, const ParametersSettings& settings);

}  // namespace zelka::host::fpga
