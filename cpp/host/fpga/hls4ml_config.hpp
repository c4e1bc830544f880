// The hls4ml configuration map of an IR graph: project settings, model-wide and per-layer
// HLS settings, and one layer description per computing node in execution order.
#pragma once

#include "host/python.hpp"

namespace zelka::host::fpga {

// The arguments of the configuration, already checked: strings, and ints for the clock
// period and the default reuse factor.
struct Hls4mlSettings {
  nb::handle output_dir, project_name, part, clock_period, io_type, default_precision,
      default_reuse_factor, strategy;
};

// A new dict, in the key order hls4ml documents; values are copied as they are (strings
// are data here, not code).
nb::object hls4ml_config(nb::handle graph, const Hls4mlSettings& settings);

}  // namespace zelka::host::fpga
