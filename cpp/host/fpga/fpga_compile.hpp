// HlsBridge.compile: a validated graph as a HardwareDescriptor whose metadata carries the
// hls4ml configuration, the neuron-model header paths, the board table and, on request,
// the texts of build.py and build_prj.tcl.
#pragma once

#include <array>
#include <string_view>

#include "host/python.hpp"

namespace zelka::host::fpga {

// Relative to the project folder, in this order.
inline constexpr std::array<std::string_view, 4> template_paths{
    "firmware/nnet_utils/if_model.h", "firmware/nnet_utils/lif_model.h",
    "firmware/nnet_utils/lif_subtractive_model.h", "firmware/nnet_utils/complex_lif.h"};

// The project settings of compile and build_bitstream, already checked: strings, and ints
// for the clock period and the default reuse factor.
struct ProjectSettings {
  nb::object output_dir, project_name, part, clock_period, io_type, default_precision,
      default_reuse_factor, strategy;
};

// `bitstream_config` is None or a BitstreamConfig.  ValueError "Graph validation failed:
// {unsupported nodes}. Supported: [...]" when self.validate(graph) finds problems; errors of
// the generators propagate.
nb::object compile(nb::handle self, nb::handle graph, const ProjectSettings& settings,
                   nb::handle bitstream_config);

}  // namespace zelka::host::fpga
