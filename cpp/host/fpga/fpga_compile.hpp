// HlsBridge.compile: a validated graph as a HardwareDescriptor whose metadata carries the
// hls4ml configuration, the neuron-model header paths, the board table and, on request,
// the texts of build.py and build_prj.tcl.
#pragma once

#include <array>
#include <string_view>

#include "host/fpga/project_settings.hpp"

namespace zelka::host::fpga {

// Relative to the project folder, in this order.
inline constexpr std::array<std::string_view, 4> template_paths{
    "firmware/nnet_utils/if_model.h", "firmware/nnet_utils/lif_model.h",
    "firmware/nnet_utils/lif_subtractive_model.h", "firmware/nnet_utils/complex_lif.h"};

// `bitstream_config` is None or a BitstreamConfig.  ValueError "Graph validation failed:
// {unsupported nodes}. Supported: [...]" when self.validate(graph) finds problems; errors of
// the generators propagate.
nb::object compile(nb::handle self, nb::handle graph, const ProjectSettings& settings,
                   nb::handle bitstream_config);

}  // namespace zelka::host::fpga
