#include "host/fpga/bitstream_config.hpp"

namespace zelka::host::fpga {

const RecordLayout bitstream_config_layout{
    "BitstreamConfig",
    "Flags of the synthesis and bitstream flow that build.py --bitstream runs.\n\n"
    "Attributes:\n"
    "    csim: Run C simulation.\n"
    "    synth: Run HLS synthesis.\n"
    "    cosim: Run co-simulation.\n"
    "    export: Export the IP core.\n"
    "    vsynth: Run Vivado synthesis.\n"
    "    bitfile: Generate the bitstream file.",
    {{"csim", false_value},
     {"synth", true_value},
     {"cosim", false_value},
     {"export", true_value},
     {"vsynth", true_value},
     {"bitfile", true_value}}};

}  // namespace zelka::host::fpga
