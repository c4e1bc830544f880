#include "host/fpga/rtl_synthesis.hpp"

#include <cmath>
#include <filesystem>

#include "core/errors.hpp"
#include "core/fpga/boards.hpp"
#include "core/fpga/rtl_scripts.hpp"
#include "core/fpga/rtl_targets.hpp"
#include "core/io/whole_file.hpp"
#include "host/external_tool.hpp"
#include "host/fpga/rtl_folder.hpp"
#include "host/fpga/rtl_tools.hpp"
#include "host/fpga/tool_reports.hpp"
#include "host/paths.hpp"

namespace zelka::host::fpga {
namespace {

namespace rtl = zelka::fpga::rtl;

const rtl::Target& target_of(nb::handle name) {
  if (const rtl::Target* target = rtl::find_target(utf8(name))) return *target;
  raise_formatted(PyExc_ValueError, "Argument 'target' must be {}, got {!r}",
                  nb::str(rtl::target_names().c_str()), name);
}

// The board whose part the counts are shares of: for xcup an UltraScale+ board of the table.
std::string board_of(const rtl::Target& target, nb::handle board) {
  if (target.name != "xcup") {
    if (!board.is_none())
      raise_formatted(PyExc_ValueError,
                      "Argument 'board' names an UltraScale+ board for the 'xcup' target; the "
                      "'{}' target is one device, got {!r}",
                      nb::str(std::string(target.name).c_str()), board);
    return "";
  }
  const std::string name = board.is_none() ? std::string(zelka::fpga::default_board) : utf8(board);
  if (!rtl::is_ultrascale_board(name))
    raise_formatted(PyExc_ValueError,
                    "Argument 'board' must name an UltraScale+ board of the board table "
                    "(zcu102, zcu104, zcu111 or ultra96), got {!r}",
                    board);
  return name;
}

void make_build_folder(const DesignFolder& design, const rtl::Target& target) {
  std::error_code error;
  const std::string folder = design.directory + "/" + rtl::build_folder(target);
  std::filesystem::create_directories(folder, error);
  if (error) throw OSError(error.value(), folder);
}

// Runs a tool of the flow in the design's folder; RuntimeError with `what` and its last lines
// (or those of `log`, a file below the folder, when it has them) when it fails.
tools::CommandResult run_flow_tool(const DesignFolder& design, std::vector<std::string> arguments,
                                   const std::string& what, const std::string& log,
                                   const SynthesisArguments& a) {
  tools::CommandResult result = run_tool({std::move(arguments), design.directory, a.timeout, {}},
                                         {what + " of " + repr_text(design.folder), "timeout"});
  if (result.end == tools::CommandEnd::exited && result.status == 0) return result;
  std::string printed = result.output + result.errors;
  if (!log.empty()) {
    try {
      printed = io::read_whole_file(design.directory + "/" + log) + result.errors;
    } catch (const OSError&) {
    }
  }
  raise_formatted(PyExc_RuntimeError, "{} of {!r} {}:\n{}", nb::str(what.c_str()), design.folder,
                  ending_of(result), printed_tail(printed));
}

nb::dict resources_dict(const rtl::Resources& r) {
  nb::dict out;
  out["luts"] = r.luts;
  out["ffs"] = r.ffs;
  out["bram"] = r.bram;
  out["dsp"] = r.dsp;
  return out;
}

nb::dict synthesis_of(const DesignFolder& design, const rtl::Target& target,
                      const std::string& board, const SynthesisArguments& a) {
  const std::string yosys = rtl_tool(RtlTool::yosys, "synthesize runs the synthesis");
  make_build_folder(design, target);
  const tools::CommandResult run =
      run_flow_tool(design, rtl::yosys_arguments(yosys, target),
                    "the Yosys synthesis for " + std::string(target.name),
                    rtl::build_folder(target) + "/yosys.log", a);
  const std::string statistics = rtl::statistics_file(target);
  rtl::CellCounts counts;
  try {
    counts =
        rtl::read_cell_counts(target, io::read_whole_file(design.directory + "/" + statistics));
  } catch (const ValueError& e) {
    raise_formatted(PyExc_RuntimeError, "Yosys's {} of {!r}: {}", nb::str(statistics.c_str()),
                    design.folder, nb::str(e.what()));
  }
  nb::dict cells;
  for (const auto& [cell, count] : counts.cells) cells[nb::str(cell.c_str())] = count;
  nb::dict result;
  result["target"] = nb::str(std::string(target.name).c_str());
  result["device"] = nb::str(std::string(target.device).c_str());
  if (!board.empty()) result["board"] = nb::str(board.c_str());
  result["luts"] = counts.luts;
  result["ffs"] = counts.ffs;
  result["carry"] = counts.carry;
  result["bram"] = counts.bram;
  result["dsp"] = counts.dsp;
  result["lutram"] = counts.lutram;
  result["cells"] = cells;
  if (const auto resources = rtl::target_resources(target, board)) {
    nb::dict share;
    share["luts"] = static_cast<double>(counts.luts) / static_cast<double>(resources->luts);
    share["ffs"] = static_cast<double>(counts.ffs) / static_cast<double>(resources->ffs);
    share["bram"] = counts.bram / static_cast<double>(resources->bram);
    share["dsp"] = static_cast<double>(counts.dsp) / static_cast<double>(resources->dsp);
    result["resources"] = resources_dict(*resources);
    result["share"] = share;
  }
  result["seconds"] = std::chrono::duration<double>(run.elapsed).count();
  return result;
}

// RuntimeError naming what the design uses past the device, when it does.
void require_fit(const DesignFolder& design, const rtl::RouteReport& report) {
  std::string over;
  for (const auto& use : report.utilisation)
    if (use.used > use.available)
      over += (over.empty() ? "" : ", ") + use.bel + " " + std::to_string(use.used) + " of " +
              std::to_string(use.available);
  if (over.empty()) return;
  raise_formatted(PyExc_RuntimeError,
                  "the design of {!r} does not fit the LFE5U-85F: it needs {} (narrower weights, "
                  "a smaller parallelism or a smaller network fit)",
                  design.folder, nb::str(over.c_str()));
}

}  // namespace

nb::dict synthesize(nb::handle project_dir, const SynthesisArguments& a) {
  const rtl::Target& target = target_of(a.target);
  const std::string board = board_of(target, a.board);
  return synthesis_of(design_in(project_dir), target, board, a);
}

nb::dict place_and_route(nb::handle project_dir, double clock_mhz, const SynthesisArguments& a) {
  const rtl::Target& target = target_of(a.target);
  if (target.name != "ecp5-85f")
    raise_formatted(PyExc_ValueError,
                    "Argument 'target': place_and_route places and routes for 'ecp5-85f' with "
                    "nextpnr-ecp5; take the design of {!r} into Vivado for UltraScale+ parts",
                    a.target);
  if (!(clock_mhz > 0) || !std::isfinite(clock_mhz))
    raise_formatted(PyExc_ValueError,
                    "Argument 'clock_mhz' must be a positive number of MHz, got {!r}",
                    nb::float_(clock_mhz));
  const DesignFolder design = design_in(project_dir);
  const std::string nextpnr = rtl_tool(RtlTool::nextpnr, "place_and_route places and routes");
  const std::string ecppack = rtl_tool(RtlTool::ecppack, "place_and_route writes the bitstream");
  nb::dict synthesis = synthesis_of(design, target, "", a);

  const std::string log = rtl::nextpnr_log();
  const tools::CommandResult placed = run_tool(
      {rtl::nextpnr_arguments(nextpnr, design.name, clock_mhz), design.directory, a.timeout, {}},
      {"the placement and routing of " + repr_text(design.folder), "timeout"});
  std::string log_text;
  try {
    log_text = io::read_whole_file(design.directory + "/" + log);
  } catch (const OSError&) {
  }
  const rtl::RouteReport report = rtl::read_route_report(log_text);
  if (placed.end != tools::CommandEnd::exited || placed.status != 0) {
    require_fit(design, report);
    raise_formatted(PyExc_RuntimeError, "nextpnr-ecp5 could not place and route {!r}: it {}:\n{}",
                    design.folder, ending_of(placed),
                    printed_tail(log_text + placed.output + placed.errors));
  }
  const tools::CommandResult packed = run_flow_tool(
      design, rtl::ecppack_arguments(ecppack, design.name), "the bitstream (ecppack)", "", a);

  nb::dict utilisation;
  for (const auto& use : report.utilisation)
    if (use.used > 0)
      utilisation[nb::str(use.bel.c_str())] = nb::make_tuple(use.used, use.available);
  nb::dict result;
  if (report.max_frequency_mhz) {
    result["max_frequency_mhz"] = *report.max_frequency_mhz;
    result["clock_met"] = *report.max_frequency_mhz >= clock_mhz;
  } else {
    result["max_frequency_mhz"] = nb::none();
    result["clock_met"] = true;  // no path between registers: nothing limits the clock
  }
  result["clock_mhz"] = clock_mhz;
  result["bitstream"] = host_path(design.directory + "/" + rtl::bitstream_file(design.name));
  result["utilisation"] = utilisation;
  result["synthesis"] = synthesis;
  result["seconds"] = nb::cast<double>(synthesis["seconds"]) +
                      std::chrono::duration<double>(placed.elapsed + packed.elapsed).count();
  return result;
}

}  // namespace zelka::host::fpga
