#include "host/fpga/csim.hpp"

#include "core/errors.hpp"
#include "core/fpga/snn_csim.hpp"
#include "core/fpga/snn_csim_report.hpp"
#include "core/tools/scratch_directory.hpp"
#include "host/external_tool.hpp"
#include "host/fpga/csim_program.hpp"
#include "host/fpga/csim_samples.hpp"
#include "host/fpga/project_paths.hpp"
#include "host/numpy.hpp"

using namespace nanobind::literals;

namespace zelka::host::fpga {
namespace {

namespace snn = zelka::fpga::snn;

// The name of the one SNN project in `folder` (absolute, as the host names it and as the file
// system does); ValueError when it holds none or several.
std::string project_in(nb::handle folder, const std::string& directory) {
  const std::vector<std::string> names = snn::projects_in(directory);
  if (names.size() == 1) return names.front();
  if (names.empty())
    raise_formatted(PyExc_ValueError,
                    "{!r} holds no SNN HLS project: no {{name}}_tb.cpp beside a "
                    "firmware/{{name}}.cpp (write one with write_snn_project)",
                    folder);
  nb::list host_names;
  for (const std::string& name : names) host_names.append(host_path(name));
  raise_formatted(PyExc_ValueError, "{!r} holds several SNN HLS projects: {}", folder,
                  imported("builtins").attr("sorted")(host_names));
}

// "ended with status 3" or "was ended by signal 11".
nb::str ending(const tools::CommandResult& result) {
  const std::string status = std::to_string(result.status);
  const std::string text = result.end == tools::CommandEnd::signalled
                               ? "was ended by signal " + status
                               : "ended with status " + status;
  return nb::str(text.data(), text.size());
}

// The test bench's report, or RuntimeError when it did not give one in its form.
snn::CsimReport report_of(nb::handle folder, const tools::CommandResult& run) {
  // The report is UTF-8 text (write_snn_project refuses names without a UTF-8 form).
  nb::object text = nb::steal(
      PyUnicode_DecodeUTF8(run.output.data(), static_cast<Py_ssize_t>(run.output.size()), nullptr));
  if (!text.is_valid()) {
    nb::python_error decoding;
    raise_formatted(PyExc_RuntimeError,
                    "the test bench of {!r} {} and the test bench's report is not UTF-8 text: "
                    "{}:\n{}",
                    folder, ending(run), decoding.value(), printed_tail(run.output + run.errors));
  }
  snn::CsimReport report;
  try {
    report = snn::read_csim_report(run.output);
  } catch (const zelka::ValueError& e) {
    raise_formatted(PyExc_RuntimeError, "the test bench of {!r} {} and {}:\n{}", folder,
                    ending(run), nb::str(e.what()), printed_tail(run.output + run.errors));
  }
  const bool agrees = report.steps_agreeing == report.step_agrees.size();
  if (run.end != tools::CommandEnd::exited || run.status != (agrees ? 0 : 1))
    raise_formatted(PyExc_RuntimeError,
                    "the test bench of {!r} {}, which its report does not explain:\n{}", folder,
                    ending(run), printed_tail(run.output + run.errors));
  return report;
}

// A new int64 array of `shape` holding `values`.
nb::object int64_array(const std::vector<std::uint64_t>& values, nb::object shape) {
  const Numpy& np = Numpy::get();
  nb::object array = np.empty(shape, "dtype"_a = np.module.attr("int64"));
  auto* out = static_cast<std::int64_t*>(ArrayData(array, true).data());
  std::copy(values.begin(), values.end(), out);
  return array;
}

// The per-sample keys of a run on samples given to csim.
void add_sample_results(nb::dict result, const snn::CsimReport& report,
                        const SampleReference& reference) {
  const std::uint64_t samples = report.samples;
  nb::object steps_agreeing = int64_array(report.sample_steps_agreeing, nb::make_tuple(samples));
  nb::dict spikes, neuron_spikes;
  for (const snn::LayerReport& layer : report.layers) {
    nb::str name(layer.name.data(), layer.name.size());
    spikes[name] = int64_array(layer.sample_spikes, nb::make_tuple(samples));
    neuron_spikes[name] = int64_array(layer.neuron_spikes, nb::make_tuple(samples, layer.neurons));
  }
  result["samples"] = samples;
  result["sample_agrees"] = compare(steps_agreeing, nb::int_(report.step_agrees.size()), Py_EQ);
  result["sample_steps_agreeing"] = steps_agreeing;
  result["sample_spike_counts"] = spikes;
  result["sample_reference_spike_counts"] = reference.sample_spike_counts;
  result["neuron_spike_counts"] = neuron_spikes;
  result["neuron_reference_spike_counts"] = reference.neuron_spike_counts;
}

}  // namespace

nb::dict csim(nb::handle project_dir, nb::handle inputs, nb::handle n_steps,
              const CsimLimits& limits) {
  // g++ and the test bench run in the project folder: every path is made absolute first.
  const nb::object folder =
      imported("os").attr("path").attr("abspath")(path_argument(project_dir, "project_dir"));
  const std::string directory = fs_path(folder);
  const std::string name = project_in(folder, directory);
  std::optional<tools::ScratchDirectory> scratch;
  std::optional<SampleReference> reference;
  if (!inputs.is_none()) {
    scratch.emplace("zelka_csim_samples_");
    reference = write_samples(folder, directory, inputs, n_steps, scratch->path());
  } else if (!n_steps.is_none()) {
    throw nb::value_error(
        "Argument 'n_steps' applies to samples given as 'inputs'; the stimulus written with the "
        "project runs for the steps it was written with");
  }
  const CsimProgram program = csim_program(folder, directory, name, limits);
  std::vector<std::string> command{program.path};
  if (reference) {
    command.push_back(reference->stimulus_file);
    command.push_back(reference->reference_file);
  }
  const tools::CommandResult run =
      run_tool({command, directory, limits.run, {}},
               {"the run of the test bench of " + repr_text(folder), "run_timeout"});
  const snn::CsimReport report = report_of(folder, run);

  nb::dict spikes, reference_spikes, differing;
  for (const auto& layer : report.layers) {
    nb::str layer_name(layer.name.data(), layer.name.size());
    spikes[layer_name] = layer.spikes;
    reference_spikes[layer_name] = layer.reference_spikes;
    differing[layer_name] = layer.steps_differing;
  }
  nb::list per_step;
  for (bool step : report.step_agrees) per_step.append(nb::bool_(step));
  nb::dict result;
  result["agrees"] = report.steps_agreeing == report.step_agrees.size();
  result["steps"] = report.step_agrees.size();
  result["steps_agreeing"] = report.steps_agreeing;
  result["step_agreement"] = per_step;
  result["spike_counts"] = spikes;
  result["reference_spike_counts"] = reference_spikes;
  result["steps_differing"] = differing;
  result["build_seconds"] = program.build_seconds;
  if (reference) add_sample_results(result, report, *reference);
  return result;
}

}  // namespace zelka::host::fpga
