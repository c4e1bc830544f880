// HlsBridge.build_bitstream: every artefact of an hls4ml project for a graph and, on
// request, the project folder written all or nothing.
#pragma once

#include "host/fpga/fpga_compile.hpp"

namespace zelka::host::fpga {

// A dict: "hls4ml_config", "parameters_h", "build_script", "tcl_script", "template_paths",
// "descriptor" and, when `write_to_disk`, "written_files" (preceded by
// "pytorch_model_save_error" when the model could not be saved).
//
// Writing computes every text first (hls4ml_config.json included), then writes each file
// to a temporary name in its folder and renames them into place once all of them, and the
// neuron-model headers of zelka.backend.fpga.templates.write_templates, are written.  Any
// failure before that puts the folder back as it was and propagates.  The model is saved
// afterwards with torch.save (PyTorch is imported only then), also through a temporary
// file; a failure is reported as its text, never raised, and leaves an earlier model.pt.
nb::object build_bitstream(nb::handle self, nb::handle graph, const ProjectSettings& settings,
                           nb::handle bitstream_config, bool write_to_disk,
                           nb::handle pytorch_model);

}  // namespace zelka::host::fpga
