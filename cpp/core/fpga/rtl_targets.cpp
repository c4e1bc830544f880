#include "core/fpga/rtl_targets.hpp"

#include <charconv>
#include <cstdlib>
#include <variant>

#include "core/errors.hpp"
#include "core/fpga/boards.hpp"
#include "core/value/json_reader.hpp"

namespace zelka::fpga::rtl {
namespace {

bool starts_with_any(std::string_view cell, std::initializer_list<std::string_view> prefixes) {
  for (std::string_view prefix : prefixes)
    if (cell.starts_with(prefix)) return true;
  return false;
}

void count_ecp5(CellCounts& counts, std::string_view cell, std::int64_t n) {
  if (cell == "LUT4") counts.luts += n;
  if (cell == "TRELLIS_FF") counts.ffs += n;
  if (cell == "CCU2C") counts.carry += n;
  if (cell == "TRELLIS_DPR16X4") counts.lutram += n;
  if (cell == "DP16KD" || cell == "PDPW16KD") counts.bram += static_cast<double>(n);
  if (cell == "MULT18X18D") counts.dsp += n;
}

void count_ultrascale(CellCounts& counts, std::string_view cell, std::int64_t n) {
  if (starts_with_any(cell, {"LUT1", "LUT2", "LUT3", "LUT4", "LUT5", "LUT6"})) counts.luts += n;
  if (starts_with_any(cell, {"FDRE", "FDSE", "FDCE", "FDPE"})) counts.ffs += n;
  if (cell == "CARRY4" || cell == "CARRY8") counts.carry += n;
  if (starts_with_any(cell, {"RAM16", "RAM32", "RAM64", "RAM128", "RAM256", "RAM512", "SRL"}))
    counts.lutram += n;
  if (cell == "RAMB36E2") counts.bram += static_cast<double>(n);
  if (cell == "RAMB18E2") counts.bram += static_cast<double>(n) / 2;
  if (cell == "DSP48E2") counts.dsp += n;
}

const value::Value* member(const value::Value& object, std::string_view name) {
  const auto* map = std::get_if<value::Map>(&object.data);
  return map ? map->find(value::Value(std::string(name))) : nullptr;
}

// The number that starts `text` (after spaces), which then loses it.
std::optional<std::int64_t> take_integer(std::string_view& text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return value;
}

}  // namespace

const Target* find_target(std::string_view name) {
  for (const Target& target : targets)
    if (target.name == name) return &target;
  return nullptr;
}

bool is_ultrascale_board(std::string_view board) {
  const auto part = part_of_board(board);
  return part && part->starts_with("xczu");
}

std::optional<Resources> target_resources(const Target& target, std::string_view board) {
  if (target.name == "ecp5-85f") return ecp5_85f_resources;
  const auto part = part_of_board(board);
  for (const PartResources& entry : part_resources) {
    if (!part || entry.part != *part) continue;
    Resources resources{};
    for (const auto& [name, count] : entry.resources) {
      if (name == "luts") resources.luts = count;
      if (name == "ffs") resources.ffs = count;
      if (name == "bram36") resources.bram = count;
      if (name == "bram_bytes") resources.bram_bits = count * 8;
      if (name == "dsp48") resources.dsp = count;
    }
    return resources;
  }
  return std::nullopt;
}

std::string target_names() {
  std::string out;
  for (std::size_t i = 0; i < targets.size(); ++i)
    out += std::string(i == 0                    ? ""
                       : i + 1 == targets.size() ? " or "
                                                 : ", ") +
           "'" + std::string(targets[i].name) + "'";
  return out;
}

CellCounts read_cell_counts(const Target& target, std::string_view stat_json) {
  const value::Value statistics = value::parse_json(stat_json, 64);
  const value::Value* design = member(statistics, "design");
  const value::Value* by_type = design ? member(*design, "num_cells_by_type") : nullptr;
  const auto* cells = by_type ? std::get_if<value::Map>(&by_type->data) : nullptr;
  if (!cells)
    throw ValueError(
        "Yosys's statistics have no design.num_cells_by_type: not `stat -json` output");
  CellCounts counts;
  for (const auto& [key, count] : cells->entries) {
    const auto* name = std::get_if<std::string>(&key.data);
    const auto* n = std::get_if<std::int64_t>(&count.data);
    if (!name || !n) throw ValueError("Yosys's statistics count a cell type in other than numbers");
    if (name->starts_with("$")) continue;  // Yosys's own: scopes kept by flattening
    counts.cells.emplace_back(*name, *n);
    if (target.name == "ecp5-85f")
      count_ecp5(counts, *name, *n);
    else
      count_ultrascale(counts, *name, *n);
  }
  return counts;
}

RouteReport read_route_report(std::string_view log) {
  RouteReport report;
  bool in_utilisation = false;
  for (std::size_t start = 0; start < log.size();) {
    const std::size_t end = std::min(log.find('\n', start), log.size());
    std::string_view line = log.substr(start, end - start);
    start = end + 1;
    constexpr std::string_view frequency = "Max frequency for clock ";
    if (const std::size_t at = line.find(frequency); at != std::string_view::npos) {
      std::string_view rest = line.substr(at + frequency.size());
      const std::size_t colon = rest.find("': ");
      if (colon != std::string_view::npos) {
        const std::string number(rest.substr(colon + 3));
        char* parsed_end = nullptr;
        const double mhz = std::strtod(number.c_str(), &parsed_end);
        if (parsed_end != number.c_str()) report.max_frequency_mhz = mhz;
      }
      continue;
    }
    if (line.find("Device utilisation:") != std::string_view::npos) {
      in_utilisation = true;
      report.utilisation.clear();
      continue;
    }
    if (!in_utilisation) continue;
    // "Info: \t          DP16KD:     12/    208     5%"
    const std::size_t colon = line.rfind(':');
    const std::size_t info = line.find(':');
    if (colon == std::string_view::npos || colon == info) {
      in_utilisation = false;
      continue;
    }
    std::string_view bel = line.substr(info + 1, colon - info - 1);
    while (!bel.empty() && (bel.front() == ' ' || bel.front() == '\t')) bel.remove_prefix(1);
    std::string_view numbers = line.substr(colon + 1);
    const auto used = take_integer(numbers);
    if (!used || numbers.empty() || numbers.front() != '/') {
      in_utilisation = false;
      continue;
    }
    numbers.remove_prefix(1);
    const auto available = take_integer(numbers);
    if (!available) {
      in_utilisation = false;
      continue;
    }
    report.utilisation.push_back({std::string(bel), *used, *available});
  }
  return report;
}

}  // namespace zelka::fpga::rtl
