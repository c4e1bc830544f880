#include "host/cpu/simulate_and_profile.hpp"

#include "core/engine/clock.hpp"
#include "host/cpu/activity_record.hpp"
#include "host/cpu/simulate.hpp"
#include "host/profiler/cpu_profiler.hpp"
#include "host/profiler/graph_view.hpp"

namespace zelka::host::cpu {
namespace {

using namespace simulation;

// The backend class's own simulate and profile, recorded when its module loads (kept for
// the life of the process).
const nb::object* own_validate = nullptr;
const nb::object* own_simulate = nullptr;
const nb::object* own_profile = nullptr;

// Whether `backend.name` is the bound method of the function `own`.  For an object whose
// attributes resolve the default way this is read off the class's attribute and the
// instance's dict, without binding a method; otherwise by getting the attribute.
bool is_own(nb::handle backend, const char* name, const nb::object* own) {
  if (!own) return false;
  nb::handle key = interned(name);
  PyTypeObject* type = Py_TYPE(backend.ptr());
  if (type->tp_getattro != PyObject_GenericGetAttr) {
    nb::object method = nb::getattr(backend, key, nb::none());
    nb::object function = nb::getattr(method, interned("__func__"), nb::none());
    nb::object self = nb::getattr(method, interned("__self__"), nb::none());
    return function.is(*own) && self.is(backend);
  }
  if (_PyType_Lookup(type, key.ptr()) != own->ptr()) return false;
  PyObject* dict = PyObject_GenericGetDict(backend.ptr(), nullptr);
  if (!dict) {  // no instance dict: nothing can hide the class's function
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return true;
  }
  const int shadowed = PyDict_Contains(dict, key.ptr());
  Py_DECREF(dict);
  if (shadowed < 0) throw nb::python_error();
  return shadowed == 0;
}

bool every_input_given(const RunSetup& setup, nb::handle input_data) {
  bool every = true;
  for_each_item(setup.nodes, [&](nb::handle name, nb::handle node) {
    every = !setup.kinds.is(node, Kind::input) || nb::borrow<nb::dict>(input_data).contains(name);
    return every;
  });
  return every;
}

}  // namespace

void remember_own_operations(nb::handle backend_class) {
  own_validate = new nb::object(backend_class.attr("__dict__")["validate"]);
  own_simulate = new nb::object(backend_class.attr("__dict__")["simulate"]);
  own_profile = new nb::object(backend_class.attr("__dict__")["profile"]);
}

bool validates_as_own(nb::handle backend) {
  return is_own(backend, "validate", own_validate);
}

std::optional<std::pair<nb::object, nb::object>> simulate_and_profile(nb::handle backend,
                                                                      nb::handle graph,
                                                                      nb::handle input_data,
                                                                      nb::handle n_steps,
                                                                      bool activity) {
  if (!PyDict_Check(input_data.ptr()) || !PyLong_Check(n_steps.ptr())) return std::nullopt;
  if (!is_own(backend, "simulate", own_simulate) || !is_own(backend, "profile", own_profile))
    return std::nullopt;
  nb::module_ profiler_module = imported("zelka.backend.cpu.profiler");
  if (!nb::type_check(profiler_module.attr("CPUProfiler"))) return std::nullopt;
  if (!imported("zelka.backend.config").attr("CompileConfig").is(compile_config()))
    return std::nullopt;
  if (!run_length(graph, nb::borrow(n_steps)).equal(n_steps)) return std::nullopt;

  RunSetup setup = make_run_setup(profiler::load_profile_kinds(), compile_config());
  nb::object sim = nb::cast(SimulationResult());
  bind_graph(setup, graph, input_data);
  if (!every_input_given(setup, input_data)) return std::nullopt;
  bind_computed_layers(setup, graph, {setup.input_data, 0, true});

  profiler::CpuProfiler::TimedRun run;
  init_membranes(graph, setup.kinds, run.state);
  LoopOptions options;
  options.policy.node_times = &run.node_times;
  options.policy.peak_activation_bytes = &run.peak_activation_bytes;
  std::optional<SampleActivity> counted;
  if (activity) counted.emplace(setup, options);
  const std::int64_t start = engine::monotonic_ns();
  const bool ran = run_into(nb::cast<SimulationResult&>(sim), setup, run.state, n_steps, options);
  run.total_ns = engine::monotonic_ns() - start;
  if (!ran) return std::pair{sim, nb::none()};
  if (counted) {
    SimulationResult& record = nb::cast<SimulationResult&>(sim);
    record.set("activity", counted->record(setup.nodes, record.field("spike_counts"), n_steps));
  }

  // The profile's own copy of the counts: the two records share no map.
  run.state.spike_counts =
      nb::steal<nb::dict>(steal_or_raise(PyDict_Copy(run.state.spike_counts.ptr())).release());
  const profiler::CpuProfiler profiler(profiler_module.attr("ENERGY_PRESETS"), {},
                                       nb::str(default_profile_preset));
  profiler::GraphReading reading(graph, setup.kinds, setup.computed.get());
  const auto counts = profiler::CpuProfiler::count(reading, n_steps);
  return std::pair{sim, profiler.report(reading, n_steps, counts, run)};
}

}  // namespace zelka::host::cpu
