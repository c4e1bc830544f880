// zelka.backend.fpga.rtl.synthesize and place_and_route: a Verilog design synthesised with
// Yosys for a target (its cell counts and their share of the device), and placed and routed
// for the LFE5U-85F with nextpnr-ecp5 (its clock) and packed into a bitstream with ecppack.
#pragma once

#include <chrono>
#include <optional>

#include "host/python.hpp"

namespace zelka::host::fpga {

// The arguments, their types already checked: str target, board str or None.
struct SynthesisArguments {
  nb::object target, board;
  std::optional<std::chrono::nanoseconds> timeout;  // none: without limit
};

// Runs the design's Yosys script for the target in its folder (results in build/{target}/)
// and returns a dict: "target", "device", "luts", "ffs", "carry", "bram", "dsp", "lutram",
// "cells" (every cell type -> count) and, where the device's resources are known,
// "resources" and "share" (luts, ffs, bram, dsp -> the fraction used), "seconds".
// ValueError for an unknown target or a board that is not an UltraScale+ one of the table;
// RuntimeError when Yosys is missing or fails (its last lines), TimeoutError past `timeout`.
nb::dict synthesize(nb::handle project_dir, const SynthesisArguments& arguments);

// Synthesises for ecp5-85f, places and routes with nextpnr-ecp5 at `clock_mhz` and writes the
// bitstream with ecppack; returns a dict: "max_frequency_mhz" (nextpnr's, after routing),
// "clock_mhz", "clock_met", "bitstream" (its path), "utilisation" (the nextpnr cell kinds used ->
// (used, available)), "synthesis" (synthesize's dict) and "seconds".  RuntimeError naming the
// resources used past what the device has when the design does not fit, else with the
// tool's last lines.
nb::dict place_and_route(nb::handle project_dir, double clock_mhz,
                         const SynthesisArguments& arguments);

}  // namespace zelka::host::fpga
