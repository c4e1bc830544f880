// hls4ml_config.json: the document build.py reads the project's hls4ml settings from.
#pragma once

#include <string>

#include "core/value/value.hpp"

namespace zelka::fpga {

// The configuration map as JSON (two-space indent, ASCII), keys in its order, without the
// entries only the generator uses ("PytorchModel", "InputShape", "Layers").  "HLSConfig"
// keeps its place (or comes last when missing) and gets "InputShape" set to
// `input_shape_text`; "PytorchModel": "./model.pt" ends the object.  An "HLSConfig" that is
// present must be a map (the caller checks).
std::string project_config_json(const value::Map& config, const std::string& input_shape_text);

}  // namespace zelka::fpga
