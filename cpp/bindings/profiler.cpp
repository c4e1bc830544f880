// zelka.backend.cpu.profiler: the analytical profiler: energy presets, CPUProfiler and
// the ProfileResult record with its report.
#include <nanobind/nanobind.h>

#include "core/profiler/energy_presets.hpp"
#include "host/args.hpp"
#include "host/numpy.hpp"
#include "host/profiler/cpu_profiler.hpp"
#include "host/profiler/energy_presets.hpp"
#include "host/profiler/profile_result.hpp"
#include "host/python_types.hpp"
#include "host/typed_function.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka::host;
using namespace zelka::host::profiler;
namespace py = zelka::host::python_type;

namespace {

const char* const cpu_profiler_doc =
    "Analytical profiler: estimated energy, latency and memory of running a graph.\n\n"
    "Energy model: E = (MACs x mac_pj) + (spikes x spike_pj) + (SRAM_accesses x sram_pj).\n"
    "Latency is host simulation time, not device time; memory comes from the byte sizes of\n"
    "the arrays the nodes hold and produce.  All energy figures are estimates.\n\n"
    "Each coefficient left as None takes the value of `energy_preset` (see ENERGY_PRESETS).";

std::optional<double> coefficient(nb::handle value, const char* name) {
  if (value.is_none()) return std::nullopt;
  return float_argument(value, name);
}

}  // namespace

NB_MODULE(profiler, m) {
  Numpy::load();
  register_core_exceptions();

  bind_record<ProfileResult>(m, profile_result_layout)
      .def(
          "summary", [](nb::handle self) { return profile_summary(self); },
          "The fixed-format report of this profile (lines joined with newlines).");

  m.attr("ENERGY_PRESETS") = energy_presets_table();
  m.attr("ACCUMULATE_PJ") = accumulate_table();
  const std::string_view default_preset = zelka::profiler::default_energy_preset;
  nb::str default_preset_name(default_preset.data(), default_preset.size());
  m.attr("DEFAULT_ENERGY_PRESET") = default_preset_name;

  nb::module_ module = m;
  def_typed(
      m, "get_energy_preset",
      [module](Arg<py::Str> name) -> Returns<py::Dict> {
        require_str(name, "name");
        return energy_preset(module.attr("ENERGY_PRESETS"), name);
      },
      "name"_a,
      "A copy of the preset `name` of ENERGY_PRESETS (KeyError naming the available ones).");

  nb::class_<CpuProfiler> profiler_class(m, "CPUProfiler", cpu_profiler_doc);
  def_typed(
      profiler_class, "__init__",
      [module](CpuProfiler* self, Arg<py::Float> mac, Arg<py::Float> spike, Arg<py::Float> read,
               Arg<py::Float> write, Arg<py::Str> preset) {
        const CpuProfiler::Given given{coefficient(mac, "energy_per_mac_pj"),
                                       coefficient(spike, "energy_per_spike_pj"),
                                       coefficient(read, "energy_per_sram_read_pj"),
                                       coefficient(write, "energy_per_sram_write_pj")};
        require_str(preset, "energy_preset");
        CpuProfiler profiler(module.attr("ENERGY_PRESETS"), given, preset);
        new (self) CpuProfiler(std::move(profiler));
      },
      "energy_per_mac_pj"_a = nb::none(), "energy_per_spike_pj"_a = nb::none(),
      "energy_per_sram_read_pj"_a = nb::none(), "energy_per_sram_write_pj"_a = nb::none(),
      "energy_preset"_a = default_preset_name);
  profiler_class
      .def_prop_ro("energy_per_mac_pj",
                   [](const CpuProfiler& p) { return p.coefficients().mac_pj; })
      .def_prop_ro("energy_per_spike_pj",
                   [](const CpuProfiler& p) { return p.coefficients().spike_pj; })
      .def_prop_ro("energy_per_sram_read_pj",
                   [](const CpuProfiler& p) { return p.coefficients().sram_read_pj; })
      .def_prop_ro("energy_per_sram_write_pj",
                   [](const CpuProfiler& p) { return p.coefficients().sram_write_pj; })
      .def_prop_ro("_preset_name", [](const CpuProfiler& p) { return p.preset_name(); });
  def_typed(
      profiler_class, "profile",
      [](const CpuProfiler& self, Arg<py::Graph> graph, Arg<py::Inputs> input_data,
         Arg<py::Int> n_steps) -> Returns<py::ProfileResult> {
        require_dict_or_none(input_data, "input_data");
        nb::object steps = int_argument(n_steps, "n_steps");
        return self.profile(graph, input_data, steps);
      },
      "graph"_a, "input_data"_a = nb::none(), "n_steps"_a = 1,
      "Simulate `graph` for n_steps steps with per-node timing and return a ProfileResult.");
}
