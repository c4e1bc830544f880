// CPUProfiler: estimated energy, latency and memory of running a graph, from a step
// simulation timed on the host and per-operation energy coefficients.
#pragma once

#include <optional>

#include "core/profiler/accounting.hpp"
#include "host/ir_kinds.hpp"
#include "host/profiler/graph_view.hpp"
#include "host/python.hpp"
#include "host/simulation/node_times.hpp"
#include "host/simulation/setup.hpp"

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

  // What a profile counts from the graph alone: the memory census and the MACs of n_steps
  // steps (read off the nodes in the counting rules' order).
  struct GraphCounts {
    zelka::profiler::Memory memory;
    zelka::profiler::Count mac_ops = 0;
  };
  static GraphCounts count(GraphReading& graph, nb::handle n_steps);

  // One timed run of the steps, as a profile runs them.
  struct TimedRun {
    simulation::WorkingState state;
    simulation::NodeTimes node_times;
    std::int64_t peak_activation_bytes = 0;
    std::int64_t total_ns = 0;
  };

  // The ProfileResult of a timed run of n_steps steps of the graph.
  nb::object report(GraphReading& graph, nb::handle n_steps, const GraphCounts& counts,
                    const TimedRun& run) const;

  const zelka::profiler::Coefficients& coefficients() const { return coefficients_; }
  const nb::object& preset_name() const { return preset_name_; }

 private:
  zelka::profiler::Coefficients coefficients_;
  nb::object preset_name_;
};

}  // namespace zelka::host::profiler
