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
namespace {

namespace snn = zelka::fpga::snn;

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
  const std::string name =
      only_project(folder, snn::projects_in(directory), "SNN HLS project",
                   "{name}_tb.cpp beside a firmware/{name}.cpp", "write_snn_project");
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
  const snn::CsimReport report = read_bench_report(folder, run);
  nb::dict result = bench_report_dict(report, program.build_seconds);
  if (reference) add_sample_results(result, report, *reference);
  return result;
}

}  // namespace zelka::host::fpga
