#include "host/cpu/simulate.hpp"

#include "host/cpu/activity_record.hpp"

namespace zelka::host::cpu {
namespace {

using namespace simulation;

// CompileConfig, bound when the module is loaded (kept for the life of the process).
const nb::object* compile_config_class = nullptr;

}  // namespace

// n_steps after the cyclic override: a graph with a "max_iterations" runs that many steps
// when the caller left n_steps at 1.
nb::object run_length(nb::handle graph, nb::object n_steps) {
  nb::object cyclic = nb::getattr(graph, "cyclic_config", nb::none());
  if (!truth(cyclic)) return n_steps;
  nb::object max_iter = cyclic.attr("get")("max_iterations");
  if (!max_iter.is_none() && equal(n_steps, nb::int_(1)))
    return steal_or_raise(PyNumber_Long(max_iter.ptr()));
  return n_steps;
}

void load_cpu_backend_facilities() {
  compile_config_class = new nb::object(imported("zelka.backend.config").attr("CompileConfig"));
}

const nb::object& compile_config() {
  return *compile_config_class;
}

bool run_into(SimulationResult& record, const RunSetup& setup, WorkingState& state,
              nb::handle n_steps, LoopOptions& options) {
  try {
    // The run's result holds the Outputs' values alone (in the graph's order).
    std::vector<nb::object> outputs_read;
    for (nb::handle item : setup.nodes.attr("items")())
      if (setup.kinds.is(item[1], Kind::output)) outputs_read.push_back(item[0]);
    options.read_after = &outputs_read;
    run_step_loop(setup, state, steps_to_run(n_steps), options);
    nb::object outputs = record.field("outputs");
    for (const nb::object& name : outputs_read)
      if (state.activations.contains(name)) outputs[name] = state.activations[name];
    record.set("timesteps_run", nb::borrow(n_steps));
    record.set("spike_counts", state.spike_counts);
    record.set("outputs_valid", nb::bool_(true));
    return true;
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    record.set("outputs_valid", nb::bool_(false));
    nb::borrow<nb::list>(record.field("errors")).append(nb::str(e.value()));
    return false;
  }
}

nb::object simulate(nb::handle graph, nb::handle input_data, nb::object n_steps, bool step_by_step,
                    bool activity) {
  RunSetup setup = make_run_setup(load_step_kinds(), compile_config());
  nb::object result = nb::cast(SimulationResult());
  SimulationResult& record = nb::cast<SimulationResult&>(result);
  bind_graph(setup, graph, input_data);
  bind_computed_layers(setup, graph, {setup.input_data, 0, true});
  n_steps = run_length(graph, std::move(n_steps));

  WorkingState state;
  init_membranes(graph, setup.kinds, state);
  LoopOptions options;
  nb::list node_states = nb::borrow<nb::list>(record.field("node_states"));
  if (step_by_step) options.snapshots = &node_states;
  if (!activity) {
    run_into(record, setup, state, n_steps, options);
    return result;
  }
  const SampleActivity counted(setup, options);
  if (run_into(record, setup, state, n_steps, options))
    record.set("activity", counted.record(setup.nodes, record.field("spike_counts"), n_steps));
  return result;
}

}  // namespace zelka::host::cpu
