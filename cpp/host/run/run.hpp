// The run entry: find a backend, validate, simulate and profile a graph, and return
// everything in one RunResult.  Problems on the way are reported in RunResult.errors.
#pragma once

#include "core/profiler/energy_presets.hpp"
#include "host/record.hpp"

namespace zelka::host::run {

// Energy coefficients run prices its own estimate with, in picojoules: those of the 45 nm CMOS
// preset.
inline constexpr const zelka::profiler::EnergyPreset& run_energy_preset =
    zelka::profiler::energy_preset_named("45nm_cmos");
inline constexpr double default_energy_per_mac_pj = run_energy_preset.mac_pj;
inline constexpr double default_energy_per_spike_pj = run_energy_preset.spike_pj;
inline constexpr double default_energy_per_sram_read_pj = run_energy_preset.sram_read_pj;

extern const RecordLayout run_result_layout;

struct RunResult : Record {
  RunResult() : Record(&run_result_layout) {}
};

struct EnergyCoefficients {
  double mac_pj, spike_pj, sram_read_pj;
};

// `timesteps` is a Python int and `backend` a str (the binding checks both).  With
// `activity`, the backend's simulate is asked for the run's activity (activity=True), which
// the result's `activity` holds.
nb::object run_graph(nb::handle graph, nb::handle input_data, nb::handle timesteps,
                     nb::handle backend, bool profile, bool activity,
                     const EnergyCoefficients& energy);

}  // namespace zelka::host::run
