#include "host/cpu/simulation_result.hpp"

namespace zelka::host::cpu {

const RecordLayout simulation_result_layout{
    "SimulationResult",
    "Result of CPU simulation.\n\n"
    "Attributes:\n"
    "    outputs: Output node name -> activation after the last step.\n"
    "    outputs_valid: Whether simulation completed without errors.\n"
    "    timesteps_run: Number of timesteps executed.\n"
    "    node_states: Per-node state history (if step_by_step=True).\n"
    "    spike_counts: LIF node name -> total spikes over all steps.\n"
    "    errors: List of error messages (empty if valid).\n"
    "    activity: With activity=True, the run's synaptic operations, spikes and firing\n"
    "        rates (zelka.activity.Activity of one sample); None otherwise and when the run\n"
    "        failed.",
    {{"outputs", new_dict},
     {"outputs_valid", true_value},
     {"timesteps_run", zero_int},
     {"node_states", new_list},
     {"spike_counts", new_dict},
     {"errors", new_list},
     {"activity", none_value}}};

}  // namespace zelka::host::cpu
