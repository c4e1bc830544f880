// The HLS headers an SNN project compiles against, copied into it: hls4ml's layer library
// (nnet_utils) and arbitrary-precision types (ap_types) from the installed hls4ml, and the
// package's own neuron and adapter headers.
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

// The package's headers the project includes, as firmware/nnet_utils/...: the LIF layer that
// parameters.h includes (complex_lif.h, lif_model.h), the adapter of parameters.h's dense
// configurations (dense_adapter.h) and the per-neuron LIF layer (lif_neurons.h).
FileTexts package_headers();

}  // namespace zelka::host::fpga
