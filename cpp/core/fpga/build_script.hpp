// The text of build.py, the script that turns a project into an HLS model on the user's
// machine: it loads hls4ml_config.json and model.pt from its own folder, converts the model
// with hls4ml, compiles the HLS model and, with --bitstream, runs hls4ml's build and lists
// the bitstream files it finds.
#pragma once

#include <string>

namespace zelka::fpga {

struct BuildScriptSettings {
  // Texts the script falls back to when a key is missing from the JSON file.  Each is
  // written inside a Python string literal, escaped so that it reads back unchanged.
  std::string project_name, part, output_dir, backend, io_type;
  std::string hls_settings_literal;  // Python literal of the HLS settings section
  std::string input_shape_literal;   // Python literal of the input shape: "[(3, 8, 8)]" or "[]"
  bool csim, synth, cosim, export_ip, vsynth, bitfile;  // the build flags
};

std::string render_build_script(const BuildScriptSettings& settings);

}  // namespace zelka::fpga
