// The text of build.py for an hls4ml configuration and a BitstreamConfig.
#pragma once

#include "host/fpga/bitstream_config.hpp"

namespace zelka::host::fpga {

// `hls_config` is a dict (read, never changed) and `project_name` a str; the caller checks
// both.  The script falls back to the configuration's "OutputDir", "Part", "IOType" and
// "Backend" (their str() texts; defaults for missing keys), embeds its "HLSConfig" section
// without "InputShape" as a Python literal and its input shape without the batch dimension.
// ValueError for a project name that is not an identifier or a "Part" that is not a part
// number; TypeError for an "HLSConfig" that is not a dict; int()'s errors for an input shape
// element it cannot convert.
nb::object build_script(nb::handle hls_config, const BitstreamConfig& flags,
                        nb::handle project_name);

// The "HLSConfig" entry of a configuration: the dict itself, or a new empty dict when it
// is missing; TypeError "hls4ml configuration: 'HLSConfig' has incorrect type (expected
// dict, got {type})" for any other value.
nb::object hls_settings_section(nb::handle hls_config);

}  // namespace zelka::host::fpga
