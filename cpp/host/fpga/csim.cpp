#include "host/fpga/csim.hpp"

#include "core/fpga/snn_csim.hpp"
#include "core/tools/program_search.hpp"
#include "core/tools/scratch_directory.hpp"
#include "host/external_tool.hpp"
#include "host/fpga/bench_report.hpp"
#include "host/fpga/project_paths.hpp"
#include "host/fpga/tool_reports.hpp"

namespace zelka::host::fpga {

nb::dict csim(nb::handle project_dir, const CsimLimits& limits) {
  // g++ and the test bench run in the project folder: every path is made absolute first.
  const nb::object folder =
      imported("os").attr("path").attr("abspath")(path_argument(project_dir, "project_dir"));
  const std::string directory = fs_path(folder);
  const std::string name =
      only_project(folder, zelka::fpga::snn::projects_in(directory), "SNN HLS project",
                   "{name}_tb.cpp beside a firmware/{name}.cpp", "write_snn_project");
  const std::optional<std::string> compiler = tools::find_program("g++");
  if (!compiler)
    throw std::runtime_error(
        "csim compiles the project with g++, which is not on the PATH: install GCC's C++ "
        "compiler (on Debian and Ubuntu: apt-get install g++)");

  const tools::ScratchDirectory scratch("zelka_csim_");
  const std::string program = scratch.path() + "/" + name + "_csim";
  const std::string where = repr_text(folder);
  const tools::CommandResult build =
      run_tool({zelka::fpga::snn::csim_build_arguments(*compiler, directory, name, program),
                directory,
                limits.build,
                {}},
               {"the build of the C simulation of " + where + " (g++)", "build_timeout"});
  if (build.end != tools::CommandEnd::exited || build.status != 0)
    raise_formatted(PyExc_RuntimeError, "g++ could not build the C simulation of {!r}:\n{}", folder,
                    last_lines(build.errors));

  const tools::CommandResult run =
      run_tool({{program}, directory, limits.run, {}},
               {"the run of the test bench of " + where, "run_timeout"});
  return bench_report_dict(read_bench_report(folder, run), build);
}

}  // namespace zelka::host::fpga
