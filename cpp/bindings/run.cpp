// zelka.backend.run: one call that finds a backend, validates, simulates and profiles a
// graph and returns everything in a RunResult.
#include "host/run/run.hpp"

#include <nanobind/nanobind.h>

#include "host/args.hpp"
#include "host/numpy.hpp"
#include "host/python_types.hpp"
#include "host/typed_function.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka::host;
using namespace zelka::host::run;
namespace py = zelka::host::python_type;

namespace {

Returns<py::RunResult> run_entry(Arg<py::Graph> graph, Arg<py::Input> input_data,
                                 Arg<py::Int> timesteps, Arg<py::Str> backend,
                                 Arg<py::Bool> profile, Arg<py::Float> mac, Arg<py::Float> spike,
                                 Arg<py::Float> sram, Arg<py::Bool> activity) {
  nb::object steps = int_argument(timesteps, "timesteps");
  require_str(backend, "backend");
  const EnergyCoefficients energy{float_argument(mac, "energy_per_mac_pj"),
                                  float_argument(spike, "energy_per_spike_pj"),
                                  float_argument(sram, "energy_per_sram_read_pj")};
  return run_graph(graph, input_data, steps, backend, truth(profile), truth(activity), energy);
}

}  // namespace

NB_MODULE(run, m) {
  Numpy::load();
  m.attr("DEFAULT_ENERGY_PER_MAC_PJ") = default_energy_per_mac_pj;
  m.attr("DEFAULT_ENERGY_PER_SPIKE_PJ") = default_energy_per_spike_pj;
  m.attr("DEFAULT_ENERGY_PER_SRAM_READ_PJ") = default_energy_per_sram_read_pj;
  bind_record<RunResult>(m, run_result_layout);
  def_typed(m, "run", &run_entry, "graph"_a, "input_data"_a = nb::none(), "timesteps"_a = 1,
            "backend"_a = "cpu", "profile"_a = true,
            "energy_per_mac_pj"_a = default_energy_per_mac_pj,
            "energy_per_spike_pj"_a = default_energy_per_spike_pj,
            "energy_per_sram_read_pj"_a = default_energy_per_sram_read_pj, nb::kw_only(),
            "activity"_a = false,
            "Run `graph` on a backend for `timesteps` steps and return a RunResult.\n\n"
            "input_data is None (zero inputs from the Input nodes' declared shapes), one array\n"
            "(for a graph with exactly one Input node) or a dict Input name -> array.  Failures\n"
            "(unknown backend, invalid graph, failed simulation) are reported in\n"
            "RunResult.errors rather than raised.  With activity=True the result's `activity`\n"
            "counts the run's synaptic operations and spikes (zelka.activity); the CPU backend's\n"
            "profile then comes from the same timed run, its latencies with the counting.");
}
