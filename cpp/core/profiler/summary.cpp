#include "core/profiler/summary.hpp"

#include "core/text/template.hpp"

namespace zelka::profiler {
namespace {

constexpr std::string_view report = R"(============================================================
  ZELKA Energy Profile (ESTIMATED)
============================================================
  Preset:               «preset»
  Total energy:         «total_energy» uJ
    MAC energy:         «mac_energy» uJ
    Spike energy:       «spike_energy» uJ
    SRAM energy:        «sram_energy» uJ
------------------------------------------------------------
  MAC operations:       «mac_operations»
  Total spikes:         «total_spikes»
  SRAM accesses:        «sram_accesses»
------------------------------------------------------------
  Weight memory:        «weight_memory» bytes
  State memory:         «state_memory» bytes
  Peak activation mem:  «peak_memory» bytes
  Latency:              «latency» us
«per_layer»============================================================
  NOTE: All energy values are analytical estimates.
============================================================)";

constexpr std::string_view per_layer_heading =
    R"(------------------------------------------------------------
  Per-layer energy (top 10):
)";

constexpr std::string_view per_layer_line = "    «name» «energy» uJ\n";

// Names are padded to 30 characters; a longer one is written whole.
constexpr std::size_t name_width = 30;

// Characters (code points) of UTF-8 text: every byte that does not continue a sequence.
std::size_t characters(std::string_view utf8) {
  std::size_t n = 0;
  for (const char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

}  // namespace

std::string render_summary(const SummaryValues& v) {
  std::string per_layer;
  if (!v.top_layers.empty()) {
    per_layer = per_layer_heading;
    for (const auto& [name, energy] : v.top_layers) {
      std::string padded = name;
      const std::size_t width = characters(name);
      if (width < name_width) padded.append(name_width - width, ' ');
      per_layer += text::fill(per_layer_line, {{"name", padded}, {"energy", energy}});
    }
  }
  return text::fill(report, {{"preset", v.preset},
                             {"total_energy", v.total_energy},
                             {"mac_energy", v.mac_energy},
                             {"spike_energy", v.spike_energy},
                             {"sram_energy", v.sram_energy},
                             {"mac_operations", v.mac_operations},
                             {"total_spikes", v.total_spikes},
                             {"sram_accesses", v.sram_accesses},
                             {"weight_memory", v.weight_memory},
                             {"state_memory", v.state_memory},
                             {"peak_memory", v.peak_memory},
                             {"latency", v.latency},
                             {"per_layer", per_layer}});
}

}  // namespace zelka::profiler
