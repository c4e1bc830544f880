// The hls4ml configuration map of an IR graph: project settings, model-wide and per-layer
// HLS settings, and one layer description per computing node in execution order.
#pragma once

#include "host/fpga/project_settings.hpp"

namespace zelka::host::fpga {

// A new dict, in the key order hls4ml documents; values are copied as they are (strings
// are data here, not code).
nb::object hls4ml_config(nb::handle graph, const ProjectSettings& settings);

}  // namespace zelka::host::fpga
