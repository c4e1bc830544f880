#include "host/run/run.hpp"

#include <optional>
#include <vector>

#include "host/ir_kinds.hpp"
#include "host/numpy.hpp"
#include "host/simulation/setup.hpp"

using namespace nanobind::literals;

namespace zelka::host::run {

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
    "    errors: List of error messages (empty if valid).\n"
    "    activity: With activity=True, the run's synaptic operations, spikes and firing\n"
    "        rates (zelka.activity.Activity of one sample), from the simulation; else None.",
    {{"outputs", new_dict},
     {"spike_counts", new_dict},
     {"timesteps_run", zero_int},
     {"total_latency_us", zero_float},
     {"energy_estimate_uj", zero_float},
     {"mac_ops", zero_int},
     {"peak_memory_bytes", zero_int},
     {"per_node_latency", new_dict},
     {"profile", none_value},
     {"errors", new_list},
     {"activity", none_value}}};

namespace {

bool has_callable(nb::handle obj, const char* name) {
  nb::object attr = nb::getattr(obj, interned(name), nb::none());
  return !attr.is_none() && PyCallable_Check(attr.ptr());
}

void extend(nb::object& list, nb::handle items) {
  if (!items.is_none()) list.attr(interned("extend"))(items);
}

// input_data as the backend takes it: a map from Input node name to array.
bool normalise_inputs(nb::handle graph, const IrKinds& kinds, nb::object& input_data,
                      nb::object& errors) {
  if (input_data.is_none()) {
    input_data = simulation::synthetic_inputs(graph, kinds);
  } else if (is_instance(input_data, Numpy::get().ndarray)) {
    std::vector<nb::object> names;
    for_each_item(graph.attr(interned("nodes")), [&](nb::handle name, nb::handle node) {
      if (kinds.is(node, Kind::input)) names.push_back(nb::borrow(name));
      return true;
    });
    if (names.size() != 1) {
      errors.attr(interned("append"))(
          "Single array provided but graph has multiple Input nodes; use dict");
      return false;
    }
    nb::dict inputs;
    inputs[names[0]] = input_data;
    input_data = inputs;
  }
  return true;
}

// `value` as the double Python's float arithmetic converts it to, when it is an exact int
// or float (a conversion that overflows is left to Python, which raises it).
std::optional<double> exact_number(nb::handle value) {
  if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
  if (!PyLong_CheckExact(value.ptr())) return std::nullopt;
  const double converted = PyLong_AsDouble(value.ptr());
  if (converted == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return converted;
}

// The sum of `counts` when every one is an exact int and no partial sum leaves 64 bits.
std::optional<long long> exact_total(nb::handle counts) {
  if (!PyDict_CheckExact(counts.ptr())) return std::nullopt;
  long long total = 0;
  PyObject *key, *count;
  for (Py_ssize_t at = 0; PyDict_Next(counts.ptr(), &at, &key, &count);) {
    if (!PyLong_CheckExact(count)) return std::nullopt;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(count, &overflow);
    if (overflow != 0 || __builtin_add_overflow(total, value, &total)) return std::nullopt;
  }
  return total;
}

// run's own estimate: MACs and spikes priced per operation, peak memory read once in
// 4-byte words.  With plain ints and floats the same double operations as Python's, in the
// same order; anything else in Python.
nb::object energy_estimate_uj(nb::handle profile, nb::handle spike_counts,
                              const EnergyCoefficients& energy) {
  nb::object mac_ops = profile.attr(interned("mac_ops"));
  nb::object peak = profile.attr(interned("peak_memory_bytes"));
  const std::optional<double> macs = exact_number(mac_ops), bytes = exact_number(peak);
  const std::optional<long long> spikes = exact_total(spike_counts);
  if (macs && bytes && spikes) {
    const std::optional<double> total = exact_number(nb::int_(*spikes));
    if (total) {
      const double energy_pj =
          *macs * energy.mac_pj + *total * energy.spike_pj + *bytes * energy.sram_read_pj / 4.0;
      return nb::float_(energy_pj / 1000000.0);
    }
  }
  nb::object total_spikes = nb::int_(0);
  for (nb::handle count : spike_counts.attr(interned("values"))())
    total_spikes = add(total_spikes, count);
  nb::object energy_pj =
      add(add(multiply(mac_ops, nb::float_(energy.mac_pj)),
              multiply(total_spikes, nb::float_(energy.spike_pj))),
          true_divide(multiply(peak, nb::float_(energy.sram_read_pj)), nb::int_(4)));
  return true_divide(energy_pj, nb::float_(1000000.0));
}

}  // namespace

nb::object run_graph(nb::handle graph, nb::handle input_data_arg, nb::handle timesteps,
                     nb::handle backend, bool profile, bool activity,
                     const EnergyCoefficients& energy) {
  const IrKinds kinds = IrKinds::load({Kind::input});
  nb::object result = nb::cast(RunResult());
  RunResult& record = nb::cast<RunResult&>(result);
  nb::object errors = record.field("errors");

  nb::object bk;
  try {
    bk = imported("zelka.backend.registry").attr(interned("get_backend"))(backend);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_KeyError)) throw;
    errors.attr(interned("append"))(nb::str("Backend '{}' not found").format(backend));
    return result;
  }
  if (!has_callable(bk, "simulate")) {
    errors.attr(interned("append"))(
        nb::str("Backend '{}' does not support simulation. Use backend='cpu'.").format(backend));
    return result;
  }

  // A backend that can tell that its validate would pass the graph without building the
  // result (the CPU backend, while its validate is its own) spares run that result.
  nb::object passes = nb::getattr(bk, interned("_passes_validation"), nb::none());
  if (passes.is_none() || !truth(passes(graph))) {
    nb::object validation = bk.attr(interned("validate"))(graph);
    if (!truth(validation.attr(interned("is_valid")))) {
      extend(errors, nb::getattr(validation, "warnings", nb::none()));
      errors.attr(interned("append"))(
          nb::str("Validation failed: {}").format(validation.attr(interned("unsupported_nodes"))));
      return result;
    }
  }

  nb::object input_data = nb::borrow(input_data_arg);
  if (!normalise_inputs(graph, kinds, input_data, errors)) return result;

  // The CPU backend simulates and profiles from one timed run of the steps, where that
  // gives what the two calls give.
  nb::object fused =
      profile ? nb::getattr(bk, interned("_simulate_and_profile"), nb::none()) : nb::none();
  // activity is passed only when asked for: a backend's simulate need not take it otherwise.
  nb::dict counting;
  if (activity) counting["activity"] = nb::bool_(true);
  nb::object both = fused.is_none() ? nb::none() : fused(graph, input_data, timesteps, **counting);
  nb::object sim = both.is_none()
                       ? bk.attr(interned("simulate"))(graph, "input_data"_a = input_data,
                                                       "n_steps"_a = timesteps, **counting)
                       : nb::object(both[0]);
  record.set("outputs", sim.attr(interned("outputs")));
  record.set("spike_counts", sim.attr(interned("spike_counts")));
  record.set("timesteps_run", sim.attr(interned("timesteps_run")));
  if (!truth(sim.attr(interned("outputs_valid")))) {
    extend(errors, nb::getattr(sim, "errors", nb::none()));
    return result;
  }
  if (activity) {
    record.set("activity", nb::getattr(sim, "activity", nb::none()));
    if (record.field("activity").is_none())
      errors.attr(interned("append"))(
          nb::str("Backend '{}' counted no activity: its simulate returned none").format(backend));
  }

  // (a profile from the one timed run comes from the backend's own profile)
  if (profile && (!both.is_none() || has_callable(bk, "profile"))) {
    nb::object prof = both.is_none()
                          ? bk.attr(interned("profile"))(graph, "input_data"_a = input_data,
                                                         "n_steps"_a = timesteps)
                          : nb::object(both[1]);
    record.set("profile", prof);
    record.set("total_latency_us", prof.attr(interned("total_latency_us")));
    record.set("per_node_latency", prof.attr(interned("per_node_latency")));
    record.set("mac_ops", prof.attr(interned("mac_ops")));
    record.set("peak_memory_bytes", prof.attr(interned("peak_memory_bytes")));
    record.set("energy_estimate_uj",
               energy_estimate_uj(prof, sim.attr(interned("spike_counts")), energy));
  }
  return result;
}

}  // namespace zelka::host::run
