#include "host/cpu/profile.hpp"

using namespace nanobind::literals;

namespace zelka::host::cpu {

nb::object profile(nb::handle graph, nb::handle input_data, nb::handle n_steps,
                   nb::handle energy_preset, nb::handle mac_pj, nb::handle spike_pj,
                   nb::handle sram_read_pj, nb::handle sram_write_pj) {
  nb::object profiler_class = imported("zelka.backend.cpu.profiler").attr("CPUProfiler");
  nb::object profiler = profiler_class(
      "energy_per_mac_pj"_a = mac_pj, "energy_per_spike_pj"_a = spike_pj,
      "energy_per_sram_read_pj"_a = sram_read_pj, "energy_per_sram_write_pj"_a = sram_write_pj,
      "energy_preset"_a = energy_preset);
  return profiler.attr("profile")(graph, input_data, n_steps);
}

}  // namespace zelka::host::cpu
