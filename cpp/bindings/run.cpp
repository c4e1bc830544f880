// zelka.backend.run: one call that finds a backend, validates, simulates and profiles a
// graph and returns everything in a RunResult.
#include <nanobind/nanobind.h>

#include "host/args.hpp"
#include "host/numpy.hpp"
#include "host/record.hpp"
#include "host/simulation/setup.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka::host;

namespace {

constexpr double default_energy_per_mac_pj = 0.9;
constexpr double default_energy_per_spike_pj = 0.1;
constexpr double default_energy_per_sram_read_pj = 5.0;

const RecordLayout run_result_layout{
    "RunResult",
    "Result of running a ZELKA IR graph.\n\n"
    "Attributes:\n"
    "    outputs: Output node name -> output array, from the simulation.\n"
    "    spike_counts: Node name -> total spikes over the run, from the simulation.\n"
    "    timesteps_run: Number of timesteps executed.\n"
    "    total_latency_us: Total latency in microseconds, from the profile.\n"
    "    energy_estimate_uj: Estimated energy in microjoules.\n"
    "    mac_ops: Total multiply-accumulate operations, from the profile.\n"
    "    peak_memory_bytes: Peak memory in bytes, from the profile.\n"
    "    per_node_latency: Node name -> latency in microseconds, from the profile.\n"
    "    profile: Full ProfileResult if profile=True, else None.\n"
    "    errors: List of error messages (empty if valid).",
    {{"outputs", new_dict},
     {"spike_counts", new_dict},
     {"timesteps_run", zero_int},
     {"total_latency_us", zero_float},
     {"energy_estimate_uj", zero_float},
     {"mac_ops", zero_int},
     {"peak_memory_bytes", zero_int},
     {"per_node_latency", new_dict},
     {"profile", none_value},
     {"errors", new_list}}};

struct RunResult : Record {
  RunResult() : Record(&run_result_layout) {}
};

bool has_callable(nb::handle obj, const char* name) {
  nb::object attr = nb::getattr(obj, name, nb::none());
  return !attr.is_none() && PyCallable_Check(attr.ptr());
}

void extend(nb::object& list, nb::handle items) {
  if (!items.is_none()) list.attr("extend")(items);
}

// input_data as the backend takes it: a map from Input node name to array.
bool normalise_inputs(nb::handle graph, nb::handle input_kind, nb::object& input_data,
                      nb::object& errors) {
  const Numpy& np = Numpy::get();
  if (input_data.is_none()) {
    input_data = simulation::synthetic_inputs(graph, input_kind);
  } else if (is_instance(input_data, np.ndarray)) {
    nb::list names;
    for (nb::handle item : graph.attr("nodes").attr("items")())
      if (is_instance(item[1], input_kind)) names.append(item[0]);
    if (names.size() != 1) {
      errors.attr("append")("Single array provided but graph has multiple Input nodes; use dict");
      return false;
    }
    nb::dict inputs;
    inputs[names[0]] = input_data;
    input_data = inputs;
  }
  return true;
}

nb::object run(nb::handle graph, nb::handle input_data_arg, nb::handle timesteps_arg,
               nb::handle backend_arg, nb::handle profile_arg, nb::handle mac_arg,
               nb::handle spike_arg, nb::handle sram_arg) {
  nb::object timesteps = int_argument(timesteps_arg, "timesteps");
  require_str(backend_arg, "backend");
  const double energy_per_mac_pj = float_argument(mac_arg, "energy_per_mac_pj");
  const double energy_per_spike_pj = float_argument(spike_arg, "energy_per_spike_pj");
  const double energy_per_sram_read_pj = float_argument(sram_arg, "energy_per_sram_read_pj");
  const bool want_profile = truth(profile_arg);

  nb::object input_kind = nb::module_::import_("zelka.ir").attr("Input");
  nb::object result = nb::cast(RunResult());
  RunResult& record = nb::cast<RunResult&>(result);
  nb::object errors = record.field("errors");
  nb::object backend = nb::borrow(backend_arg);

  nb::object bk;
  try {
    bk = nb::module_::import_("zelka.backend.registry").attr("get_backend")(backend);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_KeyError)) throw;
    errors.attr("append")(nb::str("Backend '{}' not found").format(backend));
    return result;
  }
  if (!has_callable(bk, "simulate")) {
    errors.attr("append")(
        nb::str("Backend '{}' does not support simulation. Use backend='cpu'.").format(backend));
    return result;
  }

  nb::object validation = bk.attr("validate")(graph);
  if (!truth(validation.attr("is_valid"))) {
    extend(errors, nb::getattr(validation, "warnings", nb::none()));
    errors.attr("append")(
        nb::str("Validation failed: {}").format(validation.attr("unsupported_nodes")));
    return result;
  }

  nb::object input_data = nb::borrow(input_data_arg);
  if (!normalise_inputs(graph, input_kind, input_data, errors)) return result;

  nb::object sim = bk.attr("simulate")(graph, "input_data"_a = input_data, "n_steps"_a = timesteps);
  record.field("outputs") = sim.attr("outputs");
  record.field("spike_counts") = sim.attr("spike_counts");
  record.field("timesteps_run") = sim.attr("timesteps_run");
  if (!truth(sim.attr("outputs_valid"))) {
    extend(errors, nb::getattr(sim, "errors", nb::none()));
    return result;
  }

  if (want_profile && has_callable(bk, "profile")) {
    nb::object prof =
        bk.attr("profile")(graph, "input_data"_a = input_data, "n_steps"_a = timesteps);
    record.field("profile") = prof;
    record.field("total_latency_us") = prof.attr("total_latency_us");
    record.field("per_node_latency") = prof.attr("per_node_latency");
    record.field("mac_ops") = prof.attr("mac_ops");
    record.field("peak_memory_bytes") = prof.attr("peak_memory_bytes");
    nb::object total_spikes = nb::int_(0);
    for (nb::handle count : sim.attr("spike_counts").attr("values")())
      total_spikes = add(total_spikes, count);
    nb::object energy_pj = add(
        add(multiply(prof.attr("mac_ops"), nb::float_(energy_per_mac_pj)),
            multiply(total_spikes, nb::float_(energy_per_spike_pj))),
        true_divide(multiply(prof.attr("peak_memory_bytes"), nb::float_(energy_per_sram_read_pj)),
                    nb::int_(4)));
    record.field("energy_estimate_uj") = true_divide(energy_pj, nb::float_(1000000.0));
  }
  return result;
}

}  // namespace

NB_MODULE(run, m) {
  m.attr("DEFAULT_ENERGY_PER_MAC_PJ") = default_energy_per_mac_pj;
  m.attr("DEFAULT_ENERGY_PER_SPIKE_PJ") = default_energy_per_spike_pj;
  m.attr("DEFAULT_ENERGY_PER_SRAM_READ_PJ") = default_energy_per_sram_read_pj;
  bind_record<RunResult>(m, run_result_layout);
  m.def("run", &run, "graph"_a.none(), "input_data"_a.none() = nb::none(), "timesteps"_a.none() = 1,
        "backend"_a.none() = "cpu", "profile"_a.none() = true,
        "energy_per_mac_pj"_a.none() = default_energy_per_mac_pj,
        "energy_per_spike_pj"_a.none() = default_energy_per_spike_pj,
        "energy_per_sram_read_pj"_a.none() = default_energy_per_sram_read_pj,
        "Run `graph` on a backend for `timesteps` steps and return a RunResult.\n\n"
        "input_data is None (zero inputs from the Input nodes' declared shapes), one array\n"
        "(for a graph with exactly one Input node) or a dict Input name -> array.  Failures\n"
        "(unknown backend, invalid graph, failed simulation) are reported in\n"
        "RunResult.errors rather than raised.");
}
