#include "host/fpga/csim.hpp"

#include "core/fpga/snn_csim.hpp"
#include "core/fpga/snn_csim_report.hpp"
#include "core/tools/scratch_directory.hpp"
#include "host/external_tool.hpp"
#include "host/fpga/bench_report.hpp"
#include "host/fpga/csim_program.hpp"
#include "host/fpga/csim_samples.hpp"
#include "host/fpga/tool_reports.hpp"
#include "host/numpy.hpp"
#include "host/paths.hpp"

using namespace nanobind::literals;

namespace zelka::host::fpga {
namespace snn = zelka::fpga::snn;

nb::dict csim(nb::handle project_dir, nb::handle inputs, nb::handle n_steps,
              const CsimLimits& limits) {
  // g++ and the test bench run in the project folder: every path is made absolute first.
  const nb::object folder =
      imported("os").attr("path").attr("abspath")(path_argument(project_dir, "project_dir"));
  const std::string directory = fs_path(folder);
  const std::string name =
      only_project(folder, snn::projects_in(directory), "SNN HLS project",
                   "{name}_tb.cpp beside a firmware/{name}.cpp", "write_snn_project");
  const tools::ScratchDirectory scratch("zelka_csim_samples_");
  const std::optional<SampleReference> reference =
      given_samples(folder, directory, inputs, n_steps, scratch.path(), hls_project_use);
  const CsimProgram program = csim_program(folder, directory, name, limits);
  std::vector<std::string> command{program.path};
  if (reference) {
    command.push_back(reference->stimulus_file);
    command.push_back(reference->reference_file);
  }
  const tools::CommandResult run =
      run_tool({command, directory, limits.run, {}},
               {"the run of the test bench of " + repr_text(folder), "run_timeout"});
  const snn::CsimReport report = read_bench_report(folder, run);
  nb::dict result = bench_report_dict(report, program.build_seconds);
  if (reference) add_sample_results(result, report, *reference);
  return result;
}

}  // namespace zelka::host::fpga
