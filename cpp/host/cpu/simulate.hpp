// The CPU backend's simulate: the graph run step by step from the caller's stimulus.
#pragma once

#include "host/cpu/simulation_result.hpp"
#include "host/python.hpp"
#include "host/simulation/step_loop.hpp"

namespace zelka::host::cpu {

// Bind what the CPU backend takes from the framework once, when its module is loaded:
// CompileConfig (whose default target precision the steps saturate to, and compile's
// default configuration).
void load_cpu_backend_facilities();
const nb::object& compile_config();

// n_steps after the cyclic override: a graph whose cyclic_config holds "max_iterations"
// runs that many steps when the caller left n_steps at 1.
nb::object run_length(nb::handle graph, nb::object n_steps);

// Runs the steps as simulate does and fills `record` with what they left: the Outputs'
// values, the spike counts and the valid flag, or, for an exception raised inside the loop,
// the invalid flag and its text.  Returns whether the run succeeded.
bool run_into(SimulationResult& record, const simulation::RunSetup& setup,
              simulation::WorkingState& state, nb::handle n_steps,
              simulation::LoopOptions& options);

// A SimulationResult.  `input_data` is None or a dict, `n_steps` a Python int (any size:
// negative counts run no step, counts beyond 64 bits run until interrupted).  With
// `activity`, the result's `activity` holds the run's synaptic operations and spikes.
nb::object simulate(nb::handle graph, nb::handle input_data, nb::object n_steps, bool step_by_step,
                    bool activity = false);

}  // namespace zelka::host::cpu
