#include "host/fpga/rtl_simulation.hpp"

#include <charconv>
#include <chrono>

#include "core/fpga/rtl_scripts.hpp"
#include "core/io/whole_file.hpp"
#include "core/tools/scratch_directory.hpp"
#include "host/external_tool.hpp"
#include "host/fpga/bench_report.hpp"
#include "host/fpga/rtl_tools.hpp"
#include "host/fpga/tool_reports.hpp"
#include "host/paths.hpp"

namespace zelka::host::fpga {
namespace {

namespace rtl = zelka::fpga::rtl;

// The cycles the test bench wrote, one a line; RuntimeError unless there are `steps`.
std::vector<std::uint64_t> read_cycles(const std::string& path, std::size_t steps,
                                       nb::handle folder) {
  const std::string text = io::read_whole_file(path);
  std::vector<std::uint64_t> cycles;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::uint64_t value = 0;
    const auto [last, ec] = std::from_chars(text.data() + start, text.data() + end, value);
    if (ec != std::errc() || last != text.data() + end) break;
    cycles.push_back(value);
    start = end + 1;
  }
  if (cycles.size() != steps)
    raise_formatted(PyExc_RuntimeError,
                    "the test bench of {!r} reported {} steps and wrote the cycles of {}", folder,
                    steps, cycles.size());
  return cycles;
}

}  // namespace

nb::dict simulate_rtl(nb::handle project_dir, const RtlSimulationSettings& settings) {
  // Verilator and the test bench run in the project folder: every path is made absolute first.
  const nb::object folder =
      imported("os").attr("path").attr("abspath")(path_argument(project_dir, "project_dir"));
  const std::string directory = fs_path(folder);
  const std::string name =
      only_project(folder, rtl::designs_in(directory), "Verilog design",
                   "{name}_rtl_tb.cpp beside an rtl/{name}.v", "write_rtl_project");
  const char* const use = "simulate_rtl builds the design's test bench";
  const std::string verilator = rtl_tool(RtlTool::verilator, use);
  require_verilator_build_tools(use);
  // The running interpreter, for Verilator's Python script; "" where Python cannot tell.
  const nb::object executable = imported("sys").attr("executable");
  const std::string python = truth(executable) ? fs_path(executable) : std::string();

  const tools::ScratchDirectory scratch("zelka_rtl_");
  const std::string program = scratch.path() + "/" + name + "_rtl_tb";
  const std::string cycles_file = scratch.path() + "/cycles.txt";
  const std::string where = repr_text(folder);
  const tools::CommandResult build = run_tool(
      {rtl::verilator_arguments(verilator, python, name, scratch.path() + "/verilated", program),
       directory,
       settings.build,
       {}},
      {"the Verilator build of the test bench of " + where, "build_timeout"});
  if (build.end != tools::CommandEnd::exited || build.status != 0)
    raise_formatted(PyExc_RuntimeError, "Verilator could not build the test bench of {!r}:\n{}",
                    folder, printed_tail(build.output + build.errors));

  const tools::CommandResult run =
      run_tool({{program, "tb_data", cycles_file, std::to_string(settings.runs)},
                directory,
                settings.run,
                {}},
               {"the run of the test bench of " + where, "run_timeout"});
  if (run.end == tools::CommandEnd::exited && run.status == 2)
    raise_formatted(PyExc_RuntimeError, "the test bench of {!r} could not run: {}", folder,
                    printed_tail(run.errors));
  const zelka::fpga::snn::CsimReport report = read_bench_report(folder, run);
  const std::vector<std::uint64_t> cycles =
      read_cycles(cycles_file, report.step_agrees.size(), folder);

  nb::list step_cycles;
  double total = 0;
  for (std::uint64_t c : cycles) {
    step_cycles.append(c);
    total += static_cast<double>(c);
  }
  nb::dict result = bench_report_dict(report, std::chrono::duration<double>(build.elapsed).count());
  result["cycles_per_step"] = cycles.empty() ? 0.0 : total / static_cast<double>(cycles.size());
  result["step_cycles"] = step_cycles;
  return result;
}

}  // namespace zelka::host::fpga
