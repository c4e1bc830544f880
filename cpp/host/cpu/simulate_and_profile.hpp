// What run asks of the CPU backend, simulate and then profile of the same steps, from one
// timed run of the steps where that gives exactly what the two calls give; and whether its
// validate is the backend's own, which run can ask without building a result.
#pragma once

#include <optional>
#include <utility>

#include "core/profiler/energy_presets.hpp"
#include "host/python.hpp"

namespace zelka::host::cpu {

// The profile's default energy preset when the backend's profile is called without one: the
// profiler's own default.
inline constexpr const char* default_profile_preset = zelka::profiler::default_energy_preset.data();

// The SimulationResult of simulate(graph, input_data, n_steps, activity=activity) and, when
// it succeeded, the ProfileResult of profile(graph, input_data, n_steps) (else None), from
// one timed run (whose node times then include the counting's).
// Nothing when the two calls could differ from that run: the backend's simulate or
// profile, or the profiler module's CPUProfiler, replaced; the framework's CompileConfig
// another than the simulator bound; an Input without a stimulus (the profile leaves it
// without a value, simulate fills it); a cyclic run length that simulate applies and the
// profile does not.  `backend` is the backend instance run found.
std::optional<std::pair<nb::object, nb::object>> simulate_and_profile(
    nb::handle backend, nb::handle graph, nb::handle input_data, nb::handle n_steps, bool activity);

// Record the backend class's own validate, simulate and profile functions (when its module
// loads).
void remember_own_operations(nb::handle backend_class);

// Whether `backend.validate` is the backend class's own (not replaced on the class or the
// instance).
bool validates_as_own(nb::handle backend);

}  // namespace zelka::host::cpu
