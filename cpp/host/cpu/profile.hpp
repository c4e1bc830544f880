// The CPU backend's profile: the analytical profiler built from the energy arguments.
#pragma once

#include "host/python.hpp"

namespace zelka::host::cpu {

// CPUProfiler(energy_per_mac_pj=..., ..., energy_preset=...).profile(graph, input_data,
// n_steps), with CPUProfiler taken from the profiler module when called.
nb::object profile(nb::handle graph, nb::handle input_data, nb::handle n_steps,
                   nb::handle energy_preset, nb::handle mac_pj, nb::handle spike_pj,
                   nb::handle sram_read_pj, nb::handle sram_write_pj);

}  // namespace zelka::host::cpu
