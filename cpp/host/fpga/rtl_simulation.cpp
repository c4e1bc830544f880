#include "host/fpga/rtl_simulation.hpp"

#include <charconv>
#include <chrono>
#include <filesystem>

#include "core/fpga/rtl_scripts.hpp"
#include "core/fpga/rtl_testbench.hpp"
#include "core/fpga/snn_csim_cache.hpp"
#include "core/io/whole_file.hpp"
#include "core/tools/scratch_directory.hpp"
#include "host/external_tool.hpp"
#include "host/fpga/bench_report.hpp"
#include "host/fpga/csim_samples.hpp"
#include "host/fpga/rtl_folder.hpp"
#include "host/fpga/rtl_tools.hpp"
#include "host/fpga/tool_reports.hpp"
#include "host/paths.hpp"

namespace zelka::host::fpga {
namespace {

namespace rtl = zelka::fpga::rtl;
namespace snn = zelka::fpga::snn;

// The stimulus written with the design, which its bench runs when no samples are given.
constexpr const char* own_stimulus = "tb_data/stimulus.dat";

// The cycles the test bench wrote, one a line; RuntimeError unless there are `steps` (of every
// sample).
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

// The Verilator program of design `name`: the one kept in the project's verilated/ folder when
// it was built from the design's current sources with the same command, else built now and kept.
struct VerilatedProgram {
  std::string path;
  double build_seconds = 0.0;
};

VerilatedProgram verilated_program(nb::handle folder, const std::string& directory,
                                   const std::string& name, const RtlSimulationSettings& settings) {
  const char* const use = "simulate_rtl builds the design's test bench";
  const std::string verilator = rtl_tool(RtlTool::verilator, use);
  require_verilator_build_tools(use);
  // The running interpreter, for Verilator's Python script; "" where Python cannot tell.
  const nb::object executable = imported("sys").attr("executable");
  const std::string python = truth(executable) ? fs_path(executable) : std::string();
  VerilatedProgram program;
  std::string digest;
  {
    nb::gil_scoped_release release;
    digest = snn::sources_digest(rtl::verilator_arguments(verilator, python, name, "", ""),
                                 directory, {"rtl"}, {rtl::testbench_source(name)});
    if (std::optional<std::string> kept =
            snn::find_kept_program(directory, snn::verilated_kept_folder, name, digest)) {
      program.path = std::move(*kept);
      return program;
    }
  }
  // Built in a scratch folder and copied into the project once complete: a failed or stopped
  // build leaves nothing behind.
  const tools::ScratchDirectory scratch("zelka_rtl_");
  const std::string built = scratch.path() + "/" + name + "_rtl_tb";
  const tools::CommandResult build = run_tool(
      {rtl::verilator_arguments(verilator, python, name, scratch.path() + "/verilated", built),
       directory,
       settings.build,
       {}},
      {"the Verilator build of the test bench of " + repr_text(folder), "build_timeout"});
  if (build.end != tools::CommandEnd::exited || build.status != 0)
    raise_formatted(PyExc_RuntimeError, "Verilator could not build the test bench of {!r}:\n{}",
                    folder, printed_tail(build.output + build.errors));
  program.path = snn::keep_program(built, directory, snn::verilated_kept_folder, name, digest);
  program.build_seconds = std::chrono::duration<double>(build.elapsed).count();
  return program;
}

}  // namespace

nb::dict simulate_rtl(nb::handle project_dir, nb::handle inputs, nb::handle n_steps,
                      const RtlSimulationSettings& settings) {
  const DesignFolder design = design_in(project_dir);
  const nb::object& folder = design.folder;
  const std::string& directory = design.directory;
  const std::string& name = design.name;
  const tools::ScratchDirectory scratch("zelka_rtl_run_");
  const std::optional<SampleReference> reference =
      given_samples(folder, directory, inputs, n_steps, scratch.path(), rtl_design_use);
  std::error_code ignored;
  if (!reference && !std::filesystem::is_regular_file(join(directory, own_stimulus), ignored))
    raise_formatted(PyExc_ValueError,
                    "{!r} holds no {}, the stimulus its test bench reads (designs written before "
                    "the bench read the HLS project's data files have tb_data/stimulus.txt): "
                    "write the design again with write_rtl_project",
                    folder, own_stimulus);
  const VerilatedProgram program = verilated_program(folder, directory, name, settings);
  const std::string cycles_file = scratch.path() + "/cycles.txt";
  std::vector<std::string> command{program.path, cycles_file, std::to_string(settings.runs)};
  if (reference) {
    command.push_back(reference->stimulus_file);
    command.push_back(reference->reference_file);
  }
  const tools::CommandResult run =
      run_tool({command, directory, settings.run, {}},
               {"the run of the test bench of " + repr_text(folder), "run_timeout"});
  if (run.end == tools::CommandEnd::exited && run.status == 2)
    raise_formatted(PyExc_RuntimeError, "the test bench of {!r} could not run: {}", folder,
                    printed_tail(run.errors));
  const zelka::fpga::snn::CsimReport report = read_bench_report(folder, run);
  const std::vector<std::uint64_t> cycles =
      read_cycles(cycles_file, report.step_agrees.size() * report.samples, folder);

  nb::list step_cycles;
  double total = 0;
  for (std::uint64_t c : cycles) {
    step_cycles.append(c);
    total += static_cast<double>(c);
  }
  nb::dict result = bench_report_dict(report, program.build_seconds);
  if (reference) add_sample_results(result, report, *reference);
  result["cycles_per_step"] = cycles.empty() ? 0.0 : total / static_cast<double>(cycles.size());
  result["step_cycles"] = step_cycles;
  return result;
}

}  // namespace zelka::host::fpga
