// Named sets of per-operation energy coefficients of typical target devices.
#pragma once

#include <array>
#include <string_view>

namespace zelka::profiler {

struct EnergyPreset {
  std::string_view name;
  double mac_pj;         // one multiply-accumulate operation
  double spike_pj;       // one spike event
  double sram_read_pj;   // one on-chip memory read access
  double sram_write_pj;  // one on-chip memory write access
  std::string_view description;
};

inline constexpr std::array<EnergyPreset, 6> energy_presets{{
    {"45nm_cmos", 0.9, 0.1, 5.0, 5.0, "Standard 45 nm CMOS process (Velloran 2014)"},
    {"28nm_cmos", 0.5, 0.06, 2.5, 2.5, "28 nm CMOS process"},
    {"neuromorphic_int8", 4.6, 0.9, 5.0, 5.0, "Representative INT8 neuromorphic accelerator"},
    {"vexal_us_plus", 3.2, 0.7, 4.0, 4.0,
     "Vexal UltraScale+ XCZU9EG on ZCU102 (16 nm FinFET, 274K LUTs, 2520 DSP48, 32.1 Mb BRAM)"},
    {"zcu102", 3.2, 0.7, 4.0, 4.0, "Alias for vexal_us_plus (XCZU9EG-2FFVB1156 on ZCU102)"},
    {"vexal_7020", 6.5, 1.2, 8.0, 8.0, "Xilinx Vexal-7020 FPGA (28 nm)"},
}};

inline constexpr std::string_view default_energy_preset = "neuromorphic_int8";

// The energy of one accumulate (an add of a weight into a sum, what a spike arriving at a
// synapse costs) as a share of the preset's multiply-accumulate: at 45 nm a 32-bit
// floating-point add takes 0.9 pJ and a multiply 3.7 pJ, so an add is 0.9 / (3.7 + 0.9) of a
// multiply-accumulate.  The share holds where an add and a multiply scale alike, as they do
// from one process or device to another.
inline constexpr double accumulate_share = 0.9 / (3.7 + 0.9);

constexpr double accumulate_pj(const EnergyPreset& preset) {
  return preset.mac_pj * accumulate_share;
}

// The preset of `name`, which the table must hold (a constant expression fails otherwise).
constexpr const EnergyPreset& energy_preset_named(std::string_view name) {
  for (const EnergyPreset& preset : energy_presets)
    if (preset.name == name) return preset;
  throw "no energy preset of that name";
}

}  // namespace zelka::profiler
