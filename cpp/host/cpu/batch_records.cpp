#include "host/cpu/batch_records.hpp"

#include "host/numpy.hpp"

namespace zelka::host::cpu {
namespace {

nb::object no_samples() {
  const Numpy& np = Numpy::get();
  return np.zeros(0, nb::arg("dtype") = np.module.attr("bool_"));
}

}  // namespace

const RecordLayout per_step_layout{
    "PerStep",
    "Stimuli that change every step, for simulate_batch.\n\n"
    "Attributes:\n"
    "    inputs: Input name -> array of shape (n_steps, batch, *input_shape); step t of\n"
    "        sample i reads ``inputs[name][t, i]``.",
    {{"inputs", new_dict}}};

const RecordLayout batch_result_layout{
    "BatchSimulationResult",
    "Result of simulating a batch of samples.\n\n"
    "Attributes:\n"
    "    outputs: Output node name -> array (batch, *shape) of each sample's activation\n"
    "        after the last step (zeros for a sample whose run failed).\n"
    "    outputs_valid: Bool array (batch,): whether each sample's run completed.\n"
    "    timesteps_run: Number of timesteps run.\n"
    "    spike_counts: LIF node name -> int64 array (batch,) of spikes over all steps.\n"
    "    spike_trains: Recorded LIF node name -> bool array (n_steps, batch, neurons).\n"
    "    errors: Per sample, the list of its error messages (empty if valid).\n"
    "    membranes: Recorded LIF node name -> array (n_steps, batch, neurons) of the membrane\n"
    "        potentials after each step, in the node's membrane type.\n"
    "    activity: With activity=True, the run's synaptic operations, spikes and firing\n"
    "        rates per sample (zelka.activity.Activity); else None.",
    {{"outputs", new_dict},
     {"outputs_valid", no_samples},
     {"timesteps_run", zero_int},
     {"spike_counts", new_dict},
     {"spike_trains", new_dict},
     {"errors", new_list},
     {"membranes", new_dict},
     {"activity", none_value}}};

}  // namespace zelka::host::cpu
