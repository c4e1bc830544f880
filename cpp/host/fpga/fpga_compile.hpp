// HlsBridge.compile: a validated graph as a HardwareDescriptor whose metadata carries the
// hls4ml configuration, the neuron-model header paths, the board table and, on request,
// the texts of build.py and build_prj.tcl.
#pragma once

#include "host/fpga/project_settings.hpp"

namespace zelka::host::fpga {

// `bitstream_config` is None or a BitstreamConfig.  ValueError "Graph validation failed:
// {unsupported nodes}. Supported: [...]" when self.validate(graph) finds problems; errors of
// the generators propagate.
nb::object compile(nb::handle self, nb::handle graph, const ProjectSettings& settings,
                   nb::handle bitstream_config);

// The text of build_prj.tcl for the settings' project name, part and clock period:
// vexal.generate_tcl(VexalConfig(part, float(clock_period)), project_name).
nb::object settings_tcl_script(const ProjectSettings& settings);

}  // namespace zelka::host::fpga
