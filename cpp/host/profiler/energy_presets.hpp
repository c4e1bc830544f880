// ENERGY_PRESETS as the profiler module exposes it, and preset lookup by name.
#pragma once

#include "host/python.hpp"

namespace zelka::host::profiler {

// A new dict: preset name -> {"mac_pj", "spike_pj", "sram_read_pj", "sram_write_pj",
// "description"}, in table order.
nb::dict energy_presets_table();

// A new dict: preset name -> the energy of one accumulate in pJ (profiler::accumulate_pj),
// in table order.
nb::dict accumulate_table();

// A shallow copy of presets[name]; KeyError "Unknown energy preset '{name}'. Available:
// {names in code-point order, joined with ', '}" for a name the table lacks.
nb::dict energy_preset(nb::handle presets, nb::handle name);

}  // namespace zelka::host::profiler
