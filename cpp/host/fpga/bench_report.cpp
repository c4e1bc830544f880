#include "host/fpga/bench_report.hpp"

#include "core/errors.hpp"
#include "host/external_tool.hpp"
#include "host/fpga/tool_reports.hpp"
#include "host/numpy.hpp"

using namespace nanobind::literals;

namespace zelka::host::fpga {

zelka::fpga::snn::CsimReport read_bench_report(nb::handle folder, const tools::CommandResult& run) {
  // The report is UTF-8 text (the writers refuse names without a UTF-8 form).
  nb::object text = nb::steal(
      PyUnicode_DecodeUTF8(run.output.data(), static_cast<Py_ssize_t>(run.output.size()), nullptr));
  if (!text.is_valid()) {
    nb::python_error decoding;
    raise_formatted(PyExc_RuntimeError,
                    "the test bench of {!r} {} and the test bench's report is not UTF-8 text: "
                    "{}:\n{}",
                    folder, ending_of(run), decoding.value(),
                    printed_tail(run.output + run.errors));
  }
  zelka::fpga::snn::CsimReport report;
  try {
    report = zelka::fpga::snn::read_csim_report(run.output);
  } catch (const zelka::ValueError& e) {
    raise_formatted(PyExc_RuntimeError, "the test bench of {!r} {} and {}:\n{}", folder,
                    ending_of(run), nb::str(e.what()), printed_tail(run.output + run.errors));
  }
  const bool agrees = report.steps_agreeing == report.step_agrees.size();
  if (run.end != tools::CommandEnd::exited || run.status != (agrees ? 0 : 1))
    raise_formatted(PyExc_RuntimeError,
                    "the test bench of {!r} {}, which its report does not explain:\n{}", folder,
                    ending_of(run), printed_tail(run.output + run.errors));
  return report;
}

nb::dict bench_report_dict(const zelka::fpga::snn::CsimReport& report, double build_seconds) {
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
  result["agrees"] = report.steps_agreeing == report.step_agrees.size();
  result["steps"] = report.step_agrees.size();
  result["steps_agreeing"] = report.steps_agreeing;
  result["step_agreement"] = per_step;
  result["spike_counts"] = spikes;
  result["reference_spike_counts"] = reference;
  result["steps_differing"] = differing;
  result["build_seconds"] = build_seconds;
  return result;
}

namespace {

// A new int64 array of `shape` holding `values`.
nb::object int64_array(const std::vector<std::uint64_t>& values, nb::object shape) {
  const Numpy& np = Numpy::get();
  nb::object array = np.empty(shape, "dtype"_a = np.module.attr("int64"));
  auto* out = static_cast<std::int64_t*>(ArrayData(array, true).data());
  std::copy(values.begin(), values.end(), out);
  return array;
}

}  // namespace

void add_sample_results(nb::dict result, const zelka::fpga::snn::CsimReport& report,
                        const SampleReference& reference) {
  const std::uint64_t samples = report.samples;
  nb::object steps_agreeing = int64_array(report.sample_steps_agreeing, nb::make_tuple(samples));
  nb::dict spikes, neuron_spikes;
  for (const zelka::fpga::snn::LayerReport& layer : report.layers) {
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

}  // namespace zelka::host::fpga
