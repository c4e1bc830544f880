// The run entry: find a backend, validate, simulate and profile a graph, and return
// everything in one RunResult.  Problems on the way are reported in RunResult.errors.
#pragma once

#include "host/record.hpp"

namespace zelka::host::run {

// Energy coefficients run prices its own estimate with, in picojoules.
inline constexpr double default_energy_per_mac_pj = 0.9;
inline constexpr double default_energy_per_spike_pj = 0.1;
inline constexpr double default_energy_per_sram_read_pj = 5.0;

extern const RecordLayout run_result_layout;

struct RunResult : Record {
  RunResult() : Record(&run_result_layout) {}
};

struct EnergyCoefficients {
  double mac_pj, spike_pj, sram_read_pj;
};

// `timesteps` is a Python int and `backend` a str (the binding checks both).
nb::object run_graph(nb::handle graph, nb::handle input_data, nb::handle timesteps,
                     nb::handle backend, bool profile, const EnergyCoefficients& energy);

}  // namespace zelka::host::run
