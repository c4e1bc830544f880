#include "host/fpga/csim.hpp"

#include <sys/stat.h>

#include "core/errors.hpp"
#include "core/fpga/snn_testbench.hpp"
#include "host/external_tool.hpp"
#include "host/fpga/project_paths.hpp"

using namespace nanobind::literals;

namespace zelka::host::fpga {
namespace {

bool is_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The project name: the one {name}_tb.cpp in the folder with a firmware/{name}.cpp, both
// regular files.
nb::str project_in(nb::handle folder) {
  nb::list names;
  for (nb::handle entry : imported("os").attr("listdir")(folder)) {
    nb::object text = nb::str(entry);
    if (!truth(text.attr("endswith")("_tb.cpp"))) continue;
    nb::object name = text[nb::slice(nb::none(), nb::int_(-7), nb::none())];
    if (is_file(fs_path(join(folder, text))) &&
        is_file(fs_path(join(join(folder, nb::str("firmware")), add(name, nb::str(".cpp"))))))
      names.append(name);
  }
  if (nb::len(names) == 1) return nb::borrow<nb::str>(names[0]);
  if (nb::len(names) == 0)
    raise_formatted(PyExc_ValueError,
                    "{!r} holds no SNN HLS project: no {{name}}_tb.cpp beside a "
                    "firmware/{{name}}.cpp (write one with write_snn_project)",
                    folder);
  raise_formatted(PyExc_ValueError, "{!r} holds several SNN HLS projects: {}", folder,
                  imported("builtins").attr("sorted")(names));
}

// The last lines of what a tool printed, for an error message.
nb::object tail(const std::string& printed) {
  nb::object lines = printed_text(printed).attr("splitlines")();
  const std::size_t count = nb::len(lines);
  return nb::str("\n").attr("join")(
      lines[nb::slice(nb::int_(count > 30 ? count - 30 : 0), nb::none(), nb::none())]);
}

// "ended with status 3" or "was ended by signal 11".
nb::str ending(const tools::CommandResult& result) {
  if (result.end == tools::CommandEnd::signalled)
    return nb::str("was ended by signal {}").format(result.status);
  return nb::str("ended with status {}").format(result.status);
}

}  // namespace

nb::dict csim(nb::handle project_dir, const CsimLimits& limits) {
  // g++ and the test bench run in the project folder: every path is made absolute first.
  nb::object folder =
      imported("os").attr("path").attr("abspath")(path_argument(project_dir, "project_dir"));
  const nb::str project = project_in(folder);
  nb::object compiler = imported("shutil").attr("which")("g++");
  if (compiler.is_none())
    throw std::runtime_error(
        "csim compiles the project with g++, which is not on the PATH: install GCC's C++ "
        "compiler (on Debian and Ubuntu: apt-get install g++)");

  nb::object scratch = imported("tempfile").attr("TemporaryDirectory")("prefix"_a = "zelka_csim_");
  struct Cleanup {
    nb::handle scratch;
    ~Cleanup() {
      // Runs while an error may be propagating: keep it and the removal's own error apart.
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      PyObject* done = PyObject_CallMethod(scratch.ptr(), "cleanup", nullptr);
      Py_XDECREF(done);
      PyErr_Clear();
      PyErr_Restore(type, value, traceback);
    }
  } cleanup{scratch};
  const std::string program = fs_path(join(scratch.attr("name"), add(project, nb::str("_csim"))));
  const std::string directory = fs_path(folder);
  const std::string firmware = fs_path(join(folder, nb::str("firmware")));
  const std::string name = fs_path(project);
  const std::string where = repr_text(folder);

  const tools::CommandResult build = run_tool(
      {{fs_path(compiler), "-std=c++14", "-O1", "-I", firmware, "-I", firmware + "/ap_types",
        firmware + "/" + name + ".cpp", directory + "/" + name + "_tb.cpp", "-o", program},
       directory,
       limits.build,
       {}},
      {"the build of the C simulation of " + where + " (g++)", "build_timeout"});
  if (build.end != tools::CommandEnd::exited || build.status != 0)
    raise_formatted(PyExc_RuntimeError, "g++ could not build the C simulation of {!r}:\n{}", folder,
                    tail(build.errors));

  const tools::CommandResult run =
      run_tool({{program}, directory, limits.run, {}},
               {"the run of the test bench of " + where, "run_timeout"});
  // The report is UTF-8 text (write_snn_project refuses names without a UTF-8 form).
  nb::object text = nb::steal(
      PyUnicode_DecodeUTF8(run.output.data(), static_cast<Py_ssize_t>(run.output.size()), nullptr));
  if (!text.is_valid()) {
    nb::python_error decoding;
    raise_formatted(PyExc_RuntimeError,
                    "the test bench of {!r} {} and the test bench's report is not UTF-8 text: "
                    "{}:\n{}",
                    folder, ending(run), decoding.value(), tail(run.output + run.errors));
  }
  zelka::fpga::snn::CsimReport report;
  try {
    report = zelka::fpga::snn::read_csim_report(run.output);
  } catch (const zelka::ValueError& e) {
    raise_formatted(PyExc_RuntimeError, "the test bench of {!r} {} and {}:\n{}", folder,
                    ending(run), nb::str(e.what()), tail(run.output + run.errors));
  }
  const bool agrees = report.steps_agreeing == report.step_agrees.size();
  if (run.end != tools::CommandEnd::exited || run.status != (agrees ? 0 : 1))
    raise_formatted(PyExc_RuntimeError,
                    "the test bench of {!r} {}, which its report does not explain:\n{}", folder,
                    ending(run), tail(run.output + run.errors));

  nb::dict spikes, reference, differing;
  for (const auto& layer : report.layers) {
    nb::str layer_name(layer.name.data(), layer.name.size());
    spikes[layer_name] = layer.spikes;
    reference[layer_name] = layer.reference_spikes;
    differing[layer_name] = layer.steps_differing;
  }
  nb::list per_step;
  for (bool step : report.step_agrees) per_step.append(nb::bool_(step));
  nb::dict result;
  result["agrees"] = agrees;
  result["steps"] = report.step_agrees.size();
  result["steps_agreeing"] = report.steps_agreeing;
  result["step_agreement"] = per_step;
  result["spike_counts"] = spikes;
  result["reference_spike_counts"] = reference;
  result["steps_differing"] = differing;
  result["build_seconds"] = std::chrono::duration<double>(build.elapsed).count();
  return result;
}

}  // namespace zelka::host::fpga
