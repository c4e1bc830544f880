// The fixed-format report of a profile: energy, operation counts, memory, latency and the
// layers with the largest energy estimates.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zelka::profiler {

// The report's values (UTF-8 text), each already in its number format (see number_format.hpp:
// energies ",.4f", counts ",", the latency ",.1f").
struct SummaryValues {
  std::string preset;  // the preset's name, or "custom"
  std::string total_energy, mac_energy, spike_energy, sram_energy;
  std::string mac_operations, total_spikes, sram_accesses;
  std::string weight_memory, state_memory, peak_memory;
  std::string latency;
  // The largest per-layer energies, at most ten, largest first: (node name, energy).
  std::vector<std::pair<std::string, std::string>> top_layers;
};

// The report's lines joined with "\n", without a line feed after the last.
std::string render_summary(const SummaryValues& values);

// How many per-layer entries the report shows.
inline constexpr std::size_t summary_layer_count = 10;

}  // namespace zelka::profiler
