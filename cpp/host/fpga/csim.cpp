#include "host/fpga/csim.hpp"

#include <sys/stat.h>

#include <chrono>

#include "core/errors.hpp"
#include "core/fpga/snn_testbench.hpp"
#include "host/fpga/project_paths.hpp"

using namespace nanobind::literals;

namespace zelka::host::fpga {
namespace {

bool is_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The project name: the one {name}_tb.cpp in the folder with a firmware/{name}.cpp.
nb::str project_in(nb::handle folder) {
  nb::list names;
  for (nb::handle entry : nb::module_::import_("os").attr("listdir")(folder)) {
    nb::object text = nb::str(entry);
    if (!truth(text.attr("endswith")("_tb.cpp"))) continue;
    nb::object name = text[nb::slice(nb::none(), nb::int_(-7), nb::none())];
    if (is_file(fs_path(join(join(folder, nb::str("firmware")), add(name, nb::str(".cpp"))))))
      names.append(name);
  }
  if (nb::len(names) == 1) return nb::borrow<nb::str>(names[0]);
  if (nb::len(names) == 0)
    raise_formatted(PyExc_ValueError,
                    "{!r} holds no SNN HLS project: no {{name}}_tb.cpp beside a "
                    "firmware/{{name}}.cpp (write one with write_snn_project)",
                    folder);
  raise_formatted(PyExc_ValueError, "{!r} holds several SNN HLS projects: {}", folder,
                  nb::module_::import_("builtins").attr("sorted")(names));
}

// The last lines of a tool's output, for an error message.
nb::object tail(nb::handle text) {
  nb::object lines = text.attr("splitlines")();
  const std::size_t count = nb::len(lines);
  return nb::str("\n").attr("join")(
      lines[nb::slice(nb::int_(count > 30 ? count - 30 : 0), nb::none(), nb::none())]);
}

}  // namespace

nb::dict csim(nb::handle project_dir) {
  nb::module_ os = nb::module_::import_("os");
  nb::object folder = os.attr("fspath")(project_dir);
  if (!PyUnicode_Check(folder.ptr())) folder = os.attr("fsdecode")(folder);
  // g++ and the test bench run in the project folder: every path is made absolute first.
  folder = os.attr("path").attr("abspath")(folder);
  const nb::str project = project_in(folder);
  nb::object compiler = nb::module_::import_("shutil").attr("which")("g++");
  if (compiler.is_none())
    throw std::runtime_error(
        "csim compiles the project with g++, which is not on the PATH: install GCC's C++ "
        "compiler (on Debian and Ubuntu: apt-get install g++)");

  nb::module_ subprocess = nb::module_::import_("subprocess");
  nb::object scratch =
      nb::module_::import_("tempfile").attr("TemporaryDirectory")("prefix"_a = "zelka_csim_");
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
  nb::object program = join(scratch.attr("name"), add(project, nb::str("_csim")));
  nb::object firmware = join(folder, nb::str("firmware"));
  nb::list command;
  for (nb::handle part : {compiler, nb::object(nb::str("-std=c++14")), nb::object(nb::str("-O1")),
                          nb::object(nb::str("-I")), firmware, nb::object(nb::str("-I")),
                          nb::object(join(firmware, nb::str("ap_types"))),
                          nb::object(join(firmware, add(project, nb::str(".cpp")))),
                          nb::object(join(folder, add(project, nb::str("_tb.cpp")))),
                          nb::object(nb::str("-o")), program})
    command.append(part);

  const auto start = std::chrono::steady_clock::now();
  nb::object build =
      subprocess.attr("run")(command, "capture_output"_a = true, "text"_a = true, "cwd"_a = folder);
  const double build_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (nb::cast<int>(build.attr("returncode")) != 0)
    raise_formatted(PyExc_RuntimeError, "g++ could not build the C simulation of {!r}:\n{}", folder,
                    tail(build.attr("stderr")));

  nb::object run = subprocess.attr("run")(nb::make_tuple(program), "capture_output"_a = true,
                                          "text"_a = true, "cwd"_a = folder);
  const int status = nb::cast<int>(run.attr("returncode"));
  const std::string output = utf8(run.attr("stdout"));
  zelka::fpga::snn::CsimReport report;
  try {
    report = zelka::fpga::snn::read_csim_report(output);
  } catch (const zelka::ValueError& e) {
    raise_formatted(PyExc_RuntimeError, "the test bench of {!r} ended with status {} and {}:\n{}",
                    folder, status, nb::str(e.what()),
                    tail(add(run.attr("stdout"), run.attr("stderr"))));
  }
  const bool agrees = report.steps_agreeing == report.step_agrees.size();
  if (status != (agrees ? 0 : 1))
    raise_formatted(PyExc_RuntimeError,
                    "the test bench of {!r} ended with status {}, which its report does not "
                    "explain:\n{}",
                    folder, status, tail(add(run.attr("stdout"), run.attr("stderr"))));

  nb::dict spikes, reference, differing;
  for (const auto& layer : report.layers) {
    nb::str name(layer.name.data(), layer.name.size());
    spikes[name] = layer.spikes;
    reference[name] = layer.reference_spikes;
    differing[name] = layer.steps_differing;
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
  result["build_seconds"] = build_seconds;
  return result;
}

}  // namespace zelka::host::fpga
