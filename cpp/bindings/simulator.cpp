// zelka.backend.cpu.simulator: the CPU backend ("cpu"): validation, capabilities and
// constraints, and the step-by-step simulation of IR graphs.
#include <nanobind/nanobind.h>

#include <string>

#include "host/args.hpp"
#include "host/backend_class.hpp"
#include "host/cpu/batch_records.hpp"
#include "host/cpu/compile.hpp"
#include "host/cpu/profile.hpp"
#include "host/cpu/simulate.hpp"
#include "host/cpu/simulate_and_profile.hpp"
#include "host/cpu/simulate_batch.hpp"
#include "host/cpu/simulation_result.hpp"
#include "host/cpu/validation.hpp"
#include "host/numpy.hpp"
#include "host/python_types.hpp"
#include "host/typed_function.hpp"
#include "host/worker_pool.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka::host;
namespace py = zelka::host::python_type;

namespace {

const char* const cpu_backend_doc =
    "CPU software backend for ZELKA IR graphs.\n\n"
    "- validate(): Check graph compatibility\n"
    "- compile(): Generate hardware descriptor (JSON/binary config)\n"
    "- simulate(): Run graph in software for correctness validation\n"
    "- profile(): Latency/energy/memory estimation (from scratch)\n\n"
    "The CPU backend supports all IR primitives and both DAG and cyclic graphs.";

Returns<py::SimulationResult> simulate(nb::handle, Arg<py::Graph> graph, Arg<py::Inputs> input_data,
                                       Arg<py::Int> n_steps, Arg<py::Bool> step_by_step,
                                       Arg<py::Bool> activity) {
  require_dict_or_none(input_data, "input_data");
  nb::object steps = int_argument(n_steps, "n_steps");
  return cpu::simulate(graph, input_data, std::move(steps), truth(step_by_step), truth(activity));
}

Returns<py::BatchSimulationResult> simulate_batch(nb::handle, Arg<py::Graph> graph,
                                                  Arg<py::Stimuli> input_data, Arg<py::Int> n_steps,
                                                  Arg<py::Int> workers, Arg<py::Records> record,
                                                  Arg<py::Bool> progress, Arg<py::Bool> activity) {
  nb::object steps = count_argument(n_steps, "n_steps");
  cpu::BatchOptions options;
  options.workers = workers.is_none() ? core_count() : count64_argument(workers, "workers");
  if (options.workers < 1)
    throw nb::value_error(
        ("workers must be at least 1, got " + std::to_string(options.workers)).c_str());
  // one name, or an iterable of names
  options.record = PyUnicode_Check(record.ptr()) ? nb::list() : nb::list(record);
  if (PyUnicode_Check(record.ptr())) options.record.append(record);
  options.progress = truth(progress);
  options.activity = truth(activity);
  return cpu::simulate_batch(graph, input_data, steps, options);
}

Returns<py::ProfileResult> profile(nb::handle, Arg<py::Graph> graph, Arg<py::Inputs> input_data,
                                   Arg<py::Int> n_steps, Arg<py::Str> energy_preset,
                                   Arg<py::Float> mac, Arg<py::Float> spike, Arg<py::Float> read,
                                   Arg<py::Float> write) {
  require_dict_or_none(input_data, "input_data");
  nb::object steps = int_argument(n_steps, "n_steps");
  require_str(energy_preset, "energy_preset");
  const auto coefficient = [](nb::handle value, const char* name) -> nb::object {
    if (value.is_none()) return nb::none();
    return nb::float_(float_argument(value, name));
  };
  return cpu::profile(
      graph, input_data, steps, energy_preset, coefficient(mac, "energy_per_mac_pj"),
      coefficient(spike, "energy_per_spike_pj"), coefficient(read, "energy_per_sram_read_pj"),
      coefficient(write, "energy_per_sram_write_pj"));
}

}  // namespace

NB_MODULE(simulator, m) {
  Numpy::load();
  cpu::load_cpu_backend_facilities();
  bind_record<cpu::SimulationResult>(m, cpu::simulation_result_layout);
  bind_record<cpu::PerStep>(m, cpu::per_step_layout);
  bind_record<cpu::BatchSimulationResult>(m, cpu::batch_result_layout);

  BackendClassBuilder(m, "CPUBackend", "cpu", cpu_backend_doc)
      .method(
          "validate",
          [](nb::handle, Arg<py::Graph> graph) -> Returns<py::ValidationResult> {
            return cpu::validate(graph);
          },
          "graph"_a, "Check the graph's structure; problems are reported in the result's warnings.")
      .method("simulate", &simulate, "graph"_a, "input_data"_a = nb::none(), "n_steps"_a = 1,
              "step_by_step"_a = false, nb::kw_only(), "activity"_a = false,
              "Run the graph for n_steps time steps; returns a SimulationResult.  With\n"
              "activity=True its `activity` counts the run's synaptic operations and spikes.")
      .method("simulate_batch", &simulate_batch, "graph"_a, "input_data"_a, "n_steps"_a = 1,
              nb::kw_only(), "workers"_a = nb::none(), "record"_a = nb::make_tuple(),
              "progress"_a = false, "activity"_a = false,
              "Run a batch of samples (input arrays whose first axis is the batch, or a PerStep\n"
              "of arrays (n_steps, batch, *shape)) on `workers` threads; returns a\n"
              "BatchSimulationResult.  Sample i equals simulate() of sample i alone.  `record`\n"
              "names LIF nodes whose spikes are kept for every step, and ``'v:<LIF name>'`` those\n"
              "whose membrane potentials are.  With activity=True the result's `activity`\n"
              "counts each sample's synaptic operations and spikes (zelka.activity).")
      .method(
          "compile",
          [](nb::handle, Arg<py::Graph> graph,
             Arg<py::CompileConfig> config) -> Returns<py::HardwareDescriptor> {
            return cpu::compile(graph, config, cpu::compile_config());
          },
          "graph"_a, "config"_a = nb::none(),
          "A HardwareDescriptor: compute nodes, weight arrays and execution order by core.")
      .method("profile", &profile, "graph"_a, "input_data"_a = nb::none(), "n_steps"_a = 1,
              "energy_preset"_a = cpu::default_profile_preset, "energy_per_mac_pj"_a = nb::none(),
              "energy_per_spike_pj"_a = nb::none(), "energy_per_sram_read_pj"_a = nb::none(),
              "energy_per_sram_write_pj"_a = nb::none(),
              "Profile the graph with the analytical profiler; returns a ProfileResult.")
      .method(
          "_simulate_and_profile",
          [](nb::handle self, Arg<py::Graph> graph, Arg<py::Inputs> input_data,
             Arg<py::Int> n_steps, Arg<py::Bool> activity) -> nb::object {
            auto both =
                cpu::simulate_and_profile(self, graph, input_data, n_steps, truth(activity));
            if (!both) return nb::none();
            return nb::make_tuple(both->first, both->second);
          },
          "graph"_a, "input_data"_a, "n_steps"_a, nb::kw_only(), "activity"_a = false,
          "For run: (simulate(...), profile(...) or None when the simulation failed) from one\n"
          "timed run of the steps, or None when the two calls could give something else.")
      .method(
          "_passes_validation",
          [](nb::handle self, Arg<py::Graph> graph) {
            return cpu::validates_as_own(self) && cpu::is_valid(graph);
          },
          "graph"_a,
          "For run: True when validate(graph) is the backend's own and finds the graph valid.")
      .method(
          "get_capabilities",
          [](nb::handle) -> Returns<py::BackendCapabilities> { return cpu::capabilities(); },
          "The backend's BackendCapabilities.")
      .method(
          "get_constraints",
          [](nb::handle) -> Returns<py::HardwareSpec> { return cpu::constraints(); },
          "The backend's HardwareSpec limits.")
      .build();
  cpu::remember_own_operations(m.attr("CPUBackend"));

  def_typed(
      m, "_count_argument",
      [](nb::handle value, const char* name) -> Returns<py::Int> {
        return count_argument(value, name);
      },
      "value"_a, "name"_a,
      "For zelka.distributed: `value` as an int when it is a count (an int or what has\n"
      "__index__), else the TypeError simulate_batch raises for argument `name`.");

  nb::object backend = m.attr("CPUBackend")();
  m.attr("_cpu_backend") = backend;
  nb::module_::import_("zelka.backend.registry").attr("register_backend")(backend);
}
