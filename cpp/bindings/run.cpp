// zelka.backend.run: one call that finds a backend, validates, simulates and profiles a
// graph and returns everything in a RunResult.
#include "host/run/run.hpp"

#include <nanobind/nanobind.h>

#include "host/args.hpp"
#include "host/numpy.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka::host;
using namespace zelka::host::run;

namespace {

nb::object run_entry(nb::handle graph, nb::handle input_data, nb::handle timesteps,
                     nb::handle backend, nb::handle profile, nb::handle mac, nb::handle spike,
                     nb::handle sram) {
  nb::object steps = int_argument(timesteps, "timesteps");
  require_str(backend, "backend");
  const EnergyCoefficients energy{float_argument(mac, "energy_per_mac_pj"),
                                  float_argument(spike, "energy_per_spike_pj"),
                                  float_argument(sram, "energy_per_sram_read_pj")};
  return run_graph(graph, input_data, steps, backend, truth(profile), energy);
}

}  // namespace

NB_MODULE(run, m) {
  Numpy::load();
  m.attr("DEFAULT_ENERGY_PER_MAC_PJ") = default_energy_per_mac_pj;
  m.attr("DEFAULT_ENERGY_PER_SPIKE_PJ") = default_energy_per_spike_pj;
  m.attr("DEFAULT_ENERGY_PER_SRAM_READ_PJ") = default_energy_per_sram_read_pj;
  bind_record<RunResult>(m, run_result_layout);
  m.def("run", &run_entry, "graph"_a.none(), "input_data"_a.none() = nb::none(),
        "timesteps"_a.none() = 1, "backend"_a.none() = "cpu", "profile"_a.none() = true,
        "energy_per_mac_pj"_a.none() = default_energy_per_mac_pj,
        "energy_per_spike_pj"_a.none() = default_energy_per_spike_pj,
        "energy_per_sram_read_pj"_a.none() = default_energy_per_sram_read_pj,
        "Run `graph` on a backend for `timesteps` steps and return a RunResult.\n\n"
        "input_data is None (zero inputs from the Input nodes' declared shapes), one array\n"
        "(for a graph with exactly one Input node) or a dict Input name -> array.  Failures\n"
        "(unknown backend, invalid graph, failed simulation) are reported in\n"
        "RunResult.errors rather than raised.");
}
