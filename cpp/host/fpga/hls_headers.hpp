// The HLS headers copied into the FPGA projects: hls4ml's layer library (nnet_utils) and
// arbitrary-precision types (ap_types) from the installed hls4ml, and the package's own neuron
// and adapter headers, whose names and folder zelka.backend.fpga.templates holds.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "host/python.hpp"

namespace zelka::host::fpga {

using FileTexts = std::vector<std::pair<std::string, std::string>>;

// hls4ml's templates/vivado/nnet_utils and ap_types as firmware/nnet_utils/... and
// firmware/ap_types/...; ImportError saying what to install when hls4ml is missing (it is
// found without being imported).
FileTexts hls4ml_headers();

// The package's headers an SNN project includes (templates.SNN_HEADERS), as
// firmware/nnet_utils/...: the LIF layer that parameters.h includes (complex_lif.h,
// lif_model.h), the adapter of parameters.h's dense configurations (dense_adapter.h) and the
// per-neuron LIF layer (lif_neurons.h).
FileTexts package_headers();

// The paths of build_bitstream's neuron-model headers (templates.HEADERS) relative to the
// project folder, in writing order: firmware/nnet_utils/if_model.h, ...
nb::list neuron_model_header_paths();

}  // namespace zelka::host::fpga
