// The devices a generated design is synthesised for with Yosys, their resources, and what
// the tools report: Yosys's cell counts read into categories, nextpnr's clock and
// utilisation.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelka::fpga::rtl {

struct Resources {
  std::int64_t luts, ffs, bram, bram_bits, dsp;  // bram: block RAMs (UltraScale+: RAMB36)
};

struct Target {
  std::string_view name;       // as the functions take it
  std::string_view device;     // for messages and comments
  std::string_view synthesis;  // the Yosys command
};

// "ecp5-85f": the Lattice LFE5U-85F in a CABGA381 package, placed and routed with nextpnr;
// "xcup": AMD UltraScale+ parts (synthesis only, cell counts before placement).
inline constexpr std::array<Target, 2> targets{{
    {"ecp5-85f", "Lattice LFE5U-85F (ECP5, CABGA381)", "synth_ecp5"},
    {"xcup", "AMD UltraScale+", "synth_xilinx -family xcup -flatten"},
}};

// The LFE5U-85F's LUT4s, flip-flops, DP16KD block RAMs (18 Kibit each) and MULT18X18D
// multipliers.
inline constexpr Resources ecp5_85f_resources{83640, 83640, 208, 208 * 18 * 1024, 156};

// The target named `name`, if there is one.
const Target* find_target(std::string_view name);

// Whether a board of the board table (boards.hpp) has an UltraScale+ part, which the xcup
// target builds for.
bool is_ultrascale_board(std::string_view board);

// The resources a target's cell counts are shares of: the LFE5U-85F's, or for xcup those of
// `board`'s part (an UltraScale+ board) where the board table has them.
std::optional<Resources> target_resources(const Target& target, std::string_view board);

// "'ecp5-85f' or 'xcup'", for messages.
std::string target_names();

// The cells of a synthesised design by category.  UltraScale+ block RAMs count RAMB36E2 as
// one and RAMB18E2 as half.
struct CellCounts {
  std::int64_t luts = 0, ffs = 0, carry = 0, lutram = 0, dsp = 0;
  double bram = 0;
  std::vector<std::pair<std::string, std::int64_t>> cells;  // every cell type, as Yosys names it
};

// The counts of Yosys's `stat -json` output (its "design" section) for `target`, the cells
// Yosys keeps for itself ($scopeinfo) left out; zelka::ValueError when the text is not such
// output.  UltraScale+ shift registers (SRL16E, SRLC32E) are LUTs used as memory: lutram.
CellCounts read_cell_counts(const Target& target, std::string_view stat_json);

// What nextpnr's log says of a placed and routed design.
struct RouteReport {
  std::optional<double> max_frequency_mhz;  // the last "Max frequency for clock" of the log
  struct Use {
    std::string bel;
    std::int64_t used, available;
  };
  std::vector<Use> utilisation;  // "Device utilisation", as nextpnr counts its cells
};
RouteReport read_route_report(std::string_view log);

}  // namespace zelka::fpga::rtl
