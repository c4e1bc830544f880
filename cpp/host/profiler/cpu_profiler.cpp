#include "host/profiler/cpu_profiler.hpp"

#include "core/engine/clock.hpp"
#include "host/profiler/counts.hpp"
#include "host/profiler/energy_presets.hpp"
#include "host/profiler/graph_view.hpp"
#include "host/profiler/profile_result.hpp"
#include "host/simulation/node_times.hpp"
#include "host/simulation/step_loop.hpp"

namespace zelka::host::profiler {
namespace {

double preset_value(const nb::dict& preset, const char* key) {
  nb::object value = getitem(preset, interned(key));
  const double number = PyFloat_AsDouble(value.ptr());
  if (number == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return number;
}

nb::dict map_of(const std::vector<nb::object>& keys,
                const std::vector<std::pair<std::size_t, double>>& values) {
  nb::dict out;
  for (const auto& [index, value] : values) out[keys[index]] = value;
  return out;
}

nb::dict map_of(const std::vector<nb::object>& keys,
                const std::vector<std::pair<int, double>>& values) {
  nb::dict out;
  for (const auto& [index, value] : values) out[keys[static_cast<std::size_t>(index)]] = value;
  return out;
}

}  // namespace

CpuProfiler::CpuProfiler(nb::handle presets, const Given& given, nb::handle preset_name)
    : preset_name_(nb::borrow(preset_name)) {
  const nb::dict preset = energy_preset(presets, preset_name);
  coefficients_.mac_pj = given.mac_pj ? *given.mac_pj : preset_value(preset, "mac_pj");
  coefficients_.spike_pj = given.spike_pj ? *given.spike_pj : preset_value(preset, "spike_pj");
  coefficients_.sram_read_pj =
      given.sram_read_pj ? *given.sram_read_pj : preset_value(preset, "sram_read_pj");
  coefficients_.sram_write_pj =
      given.sram_write_pj ? *given.sram_write_pj : preset_value(preset, "sram_write_pj");
}

CpuProfiler::GraphCounts CpuProfiler::count(GraphReading& graph, nb::handle n_steps) {
  GraphCounts counts;
  counts.memory = acc::memory_census(graph.held_arrays());
  counts.mac_ops = acc::checked_mul(acc::step_macs(graph.mac_nodes()), to_count(n_steps));
  return counts;
}

nb::object CpuProfiler::profile(nb::handle graph, nb::handle input_data, nb::handle n_steps) const {
  using namespace simulation;
  RunSetup setup = make_run_setup(load_profile_kinds(), nb::none());
  to_count(n_steps);
  std::optional<GraphReading> reading(std::in_place, graph, setup.kinds);
  GraphCounts counts = count(*reading, n_steps);
  bind_graph(setup, graph, input_data);
  bind_computed_layers(setup, graph, {setup.input_data, 0, false});
  if (setup.computed) {  // its layers count what they compute for these stimuli
    reading.emplace(graph, setup.kinds, setup.computed.get());
    counts = count(*reading, n_steps);
  }

  TimedRun run;
  init_membranes(graph, setup.kinds, run.state);
  LoopOptions options;
  const std::vector<nb::object> nothing_read;  // the profile reads spike counts alone
  options.read_after = &nothing_read;
  options.policy.fill_missing_inputs = false;
  options.policy.node_times = &run.node_times;
  options.policy.peak_activation_bytes = &run.peak_activation_bytes;
  const std::int64_t total_start = engine::monotonic_ns();
  run_step_loop(setup, run.state, steps_to_run(n_steps), options);
  run.total_ns = engine::monotonic_ns() - total_start;
  return report(*reading, n_steps, counts, run);
}

nb::object CpuProfiler::report(GraphReading& graph, nb::handle n_steps, const GraphCounts& counts,
                               const TimedRun& run) const {
  nb::object result = nb::cast(ProfileResult());
  ProfileResult& record = nb::cast<ProfileResult&>(result);
  const Count steps = to_count(n_steps);
  const acc::Memory& memory = counts.memory;
  record.set("weight_memory_bytes", from_count(memory.weight));
  record.set("state_memory_bytes", from_count(memory.state));
  record.set("mac_ops", from_count(counts.mac_ops));
  record.set("total_latency_us", nb::float_(static_cast<double>(run.total_ns) / 1000.0));
  nb::dict per_node_latency = run.node_times.microseconds();
  record.set("per_node_latency", per_node_latency);
  record.set("peak_memory_bytes",
             from_count(acc::checked_add(acc::checked_add(run.peak_activation_bytes, memory.weight),
                                         memory.state)));
  record.set("spike_counts", run.state.spike_counts);

  Count total_spikes = 0;
  for (auto [name, count] : run.state.spike_counts)
    total_spikes = acc::checked_add(total_spikes, to_count(count));
  const acc::SramAccesses sram = acc::sram_accesses(memory.weight, graph.lif_neurons(), steps);
  const acc::EnergyBreakdown energy =
      acc::energy_breakdown(counts.mac_ops, total_spikes, sram, coefficients_);
  record.set("total_sram_accesses", from_count(acc::checked_add(sram.reads, sram.writes)));
  record.set("energy_estimate_uj", nb::float_(energy.total_uj));
  record.set("mac_energy_uj", nb::float_(energy.mac_uj));
  record.set("spike_energy_uj", nb::float_(energy.spike_uj));
  record.set("sram_energy_uj", nb::float_(energy.sram_uj));
  record.set("energy_preset", preset_name_);

  const Layers layer_view = graph.layers(per_node_latency, run.state.spike_counts);
  const acc::LayerFigures figures = acc::layer_figures(layer_view.nodes, steps, coefficients_);
  record.set("per_core_latency", map_of(layer_view.core_ids, figures.core_latency_us));
  record.set("per_layer_energy_uj", map_of(layer_view.names, figures.layer_energy_uj));
  record.set("neuron_utilization", map_of(layer_view.names, figures.neuron_utilization));
  record.set("per_core_energy", map_of(layer_view.core_ids, figures.core_energy_uj));
  return result;
}

}  // namespace zelka::host::profiler
