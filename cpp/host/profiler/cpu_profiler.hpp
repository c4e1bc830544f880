// CPUProfiler: estimated energy, latency and memory of running a graph, from a step
// simulation timed on the host and per-operation energy coefficients.
#pragma once

#include <optional>

#include "core/profiler/accounting.hpp"
#include "host/python.hpp"

namespace zelka::host::profiler {

class CpuProfiler {
 public:
  // Each coefficient is the given number, or when it is None the preset's value; the preset
  // is looked up (in `presets`, the module's ENERGY_PRESETS) even when all four are given.
  struct Given {
    std::optional<double> mac_pj, spike_pj, sram_read_pj, sram_write_pj;
  };
  CpuProfiler(nb::handle presets, const Given& given, nb::handle preset_name);

  // A ProfileResult.  `input_data` is None or a dict, `n_steps` a Python int.
  nb::object profile(nb::handle graph, nb::handle input_data, nb::handle n_steps) const;

  const zelka::profiler::Coefficients& coefficients() const { return coefficients_; }
  const nb::object& preset_name() const { return preset_name_; }

 private:
  zelka::profiler::Coefficients coefficients_;
  nb::object preset_name_;
};

}  // namespace zelka::host::profiler
