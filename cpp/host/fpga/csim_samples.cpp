#include "host/fpga/csim_samples.hpp"

#include <cerrno>
#include <fstream>
#include <memory>

#include "core/errors.hpp"
#include "core/fpga/snn_bench_data.hpp"
#include "host/args.hpp"
#include "host/execution_context.hpp"
#include "host/fpga/sample_inputs.hpp"
#include "host/fpga/snn_graph.hpp"
#include "host/fpga/stored_graph.hpp"
#include "host/ir_kinds.hpp"
#include "host/numpy.hpp"
#include "host/paths.hpp"

using namespace nanobind::literals;

namespace zelka::host::fpga {
namespace {

namespace snn = zelka::fpga::snn;

constexpr const char* stimulus_file = "tb_data/stimulus.dat";
constexpr const char* reference_file = "tb_data/reference_spikes.dat";

template <typename Layout>
Layout read_layout(nb::handle folder, const std::string& directory, const char* file,
                   Layout (*read)(std::istream&, const std::string&), const ProjectUse& use) {
  std::ifstream in(join(directory, file));
  if (!in)
    raise_formatted(PyExc_ValueError,
                    "{!r} holds no {}, which tells {} the project's inputs and layers for new "
                    "samples: write the project again with {}",
                    folder, file, use.runner, use.writer);
  try {
    return read(in, file);
  } catch (const zelka::ValueError& e) {
    raise_formatted(PyExc_ValueError, "{!r}: {}", folder, nb::str(e.what()));
  }
}

// The nodes of `kind` in the graph's execution order.
std::vector<nb::object> nodes_of(nb::handle graph, const IrKinds& kinds, Kind kind) {
  const ExecutionContext context = execution_context(graph);
  nb::object nodes = graph.attr("nodes");
  std::vector<nb::object> names;
  for (nb::handle name : context.exec_order)
    if (kinds.is(getitem(nodes, name), kind)) names.push_back(nb::borrow(name));
  return names;
}

// The samples of `inputs` for the project's Inputs, and the steps to run them for: `n_steps`, or
// the project's steps (a dict) or the arrays' (a PerStep).
SampleInputs checked_inputs(nb::handle inputs, nb::handle n_steps,
                            const std::vector<nb::object>& input_names,
                            const snn::StimulusLayout& project) {
  SampleInputs checked = sample_inputs(inputs, "inputs", input_names, project.inputs);
  if (!checked.per_step) checked.steps = project.steps;
  if (n_steps.is_none()) return checked;
  const std::int64_t steps = count64_argument(n_steps, "n_steps");
  if (steps < 1)
    raise_formatted(PyExc_ValueError, "Argument 'n_steps' must be at least 1, got {!r}", n_steps);
  if (checked.per_step && static_cast<std::uint64_t>(steps) != checked.steps)
    raise_formatted(PyExc_ValueError,
                    "Argument 'n_steps' is {}, but the PerStep arrays of 'inputs' hold {} steps",
                    steps, checked.steps);
  checked.steps = static_cast<std::uint64_t>(steps);
  return checked;
}

void write_file(const std::string& path, const std::function<void(std::ostream&)>& write) {
  std::ofstream out(path, std::ios::binary);
  if (!out) throw OSError(errno, path);
  write(out);
  out.close();
  if (!out) throw OSError(EIO, path);
}

}  // namespace

SampleReference write_samples(nb::handle folder, const std::string& directory, nb::handle inputs,
                              nb::handle n_steps, const std::string& scratch,
                              const ProjectUse& use) {
  const Numpy& np = Numpy::get();
  const snn::StimulusLayout project =
      read_layout(folder, directory, stimulus_file, &snn::read_stimulus_layout, use);
  snn::ReferenceLayout reference =
      read_layout(folder, directory, reference_file, &snn::read_reference_layout, use);
  nb::object graph = load_stored_graph(folder, directory, use, reference.graph_digest);
  const IrKinds kinds = IrKinds::load({Kind::input, Kind::lif});
  const std::vector<nb::object> input_names = nodes_of(graph, kinds, Kind::input);
  const std::vector<nb::object> lif_names = nodes_of(graph, kinds, Kind::lif);
  if (input_names.size() != project.inputs.size() || lif_names.size() != reference.layers.size())
    raise_formatted(PyExc_ValueError,
                    "{!r}: the stored graph has {} Inputs and {} LIF nodes, the project's data "
                    "{} and {}: write the project again with {}",
                    folder, input_names.size(), lif_names.size(), project.inputs.size(),
                    reference.layers.size(), use.writer);
  SampleInputs checked = checked_inputs(inputs, n_steps, input_names, project);
  if (!checked.per_step)
    checked.steps = static_cast<std::uint64_t>(
        simulated_steps(graph, static_cast<std::int64_t>(checked.steps)));

  SampleReference out;
  out.stimulus_file = scratch + "/stimulus.dat";
  out.reference_file = scratch + "/reference_spikes.dat";
  snn::StimulusLayout stimulus = project;
  stimulus.samples = checked.samples;
  stimulus.steps = checked.steps;
  stimulus.per_step = checked.per_step;
  const SamplePorts ports = sample_ports(checked, "inputs", input_names);
  write_file(out.stimulus_file, [&](std::ostream& file) {
    snn::write_stimulus(file, stimulus, ports.ports, run_signal_handlers);
  });

  nb::list record;
  for (const nb::object& name : lif_names) record.append(name);
  nb::object batch =
      simulated_batch(graph, inputs, static_cast<std::int64_t>(checked.steps), record, "inputs");
  reference.samples = checked.samples;
  reference.steps = nb::cast<std::uint64_t>(batch.attr("timesteps_run"));
  std::vector<nb::object> trains;
  std::vector<std::unique_ptr<ArrayData>> bits;
  std::vector<const std::uint8_t*> spikes;
  nb::object counts = batch.attr("spike_counts");
  for (const nb::object& name : lif_names) {
    trains.push_back(np.ascontiguousarray(getitem(batch.attr("spike_trains"), name)));
    bits.push_back(std::make_unique<ArrayData>(trains.back()));
    spikes.push_back(static_cast<const std::uint8_t*>(bits.back()->data()));
    out.sample_spike_counts[name] = getitem(counts, name);
    out.neuron_spike_counts[name] =
        np.sum(trains.back(), "axis"_a = 0, "dtype"_a = np.module.attr("int64"));
  }
  write_file(out.reference_file, [&](std::ostream& file) {
    snn::write_reference(file, reference, spikes, run_signal_handlers);
  });
  return out;
}

std::optional<SampleReference> given_samples(nb::handle folder, const std::string& directory,
                                             nb::handle inputs, nb::handle n_steps,
                                             const std::string& scratch, const ProjectUse& use) {
  if (!inputs.is_none()) return write_samples(folder, directory, inputs, n_steps, scratch, use);
  if (!n_steps.is_none())
    throw nb::value_error(
        "Argument 'n_steps' applies to samples given as 'inputs'; the stimulus written with the "
        "project runs for the steps it was written with");
  return std::nullopt;
}

}  // namespace zelka::host::fpga
