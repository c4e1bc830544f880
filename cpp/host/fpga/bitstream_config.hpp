// BitstreamConfig: the six flags of the optional synthesis and bitstream flow.
#pragma once

#include "host/record.hpp"

namespace zelka::host::fpga {

extern const RecordLayout bitstream_config_layout;

struct BitstreamConfig : Record {
  BitstreamConfig() : Record(&bitstream_config_layout) {}
};

// The flags by name, in field order: csim, synth, cosim, export, vsynth, bitfile.
inline constexpr const char* bitstream_flags[] = {"csim",   "synth",  "cosim",
                                                  "export", "vsynth", "bitfile"};

}  // namespace zelka::host::fpga
