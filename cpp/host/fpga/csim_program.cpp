#include "host/fpga/csim_program.hpp"

#include "core/fpga/snn_csim.hpp"
#include "core/fpga/snn_csim_cache.hpp"
#include "core/tools/program_search.hpp"
#include "core/tools/scratch_directory.hpp"
#include "host/external_tool.hpp"

namespace zelka::host::fpga {

CsimProgram csim_program(nb::handle folder, const std::string& directory, const std::string& name,
                         const CsimLimits& limits) {
  namespace snn = zelka::fpga::snn;
  const std::optional<std::string> compiler = tools::find_program("g++");
  if (!compiler)
    throw std::runtime_error(
        "csim compiles the project with g++, which is not on the PATH: install GCC's C++ "
        "compiler (on Debian and Ubuntu: apt-get install g++)");
  CsimProgram program;
  std::string digest;
  {
    nb::gil_scoped_release release;
    digest = snn::csim_sources_digest(*compiler, directory, name);
    if (std::optional<std::string> kept =
            snn::find_kept_program(directory, snn::csim_kept_folder, name, digest)) {
      program.path = std::move(*kept);
      return program;
    }
  }

  // Built in a scratch folder and copied into the project once complete: a failed or stopped
  // build leaves nothing behind.
  const tools::ScratchDirectory scratch("zelka_csim_");
  const std::string built = scratch.path() + "/" + name + "_csim";
  const tools::CommandResult build = run_tool(
      {snn::csim_build_arguments(*compiler, directory, name, built), directory, limits.build, {}},
      {"the build of the C simulation of " + repr_text(folder) + " (g++)", "build_timeout"});
  if (build.end != tools::CommandEnd::exited || build.status != 0)
    raise_formatted(PyExc_RuntimeError, "g++ could not build the C simulation of {!r}:\n{}", folder,
                    printed_tail(build.errors));
  program.path = snn::keep_program(built, directory, snn::csim_kept_folder, name, digest);
  program.build_seconds = std::chrono::duration<double>(build.elapsed).count();
  return program;
}

}  // namespace zelka::host::fpga
