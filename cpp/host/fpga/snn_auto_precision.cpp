#include "host/fpga/snn_auto_precision.hpp"

#include <algorithm>
#include <memory>

#include "host/fpga/sample_inputs.hpp"
#include "host/fpga/snn_graph.hpp"
#include "host/numpy.hpp"

using namespace nanobind::literals;

namespace zelka::host::fpga {
namespace {

namespace snn = zelka::fpga::snn;
using zelka::fpga::FixedType;

constexpr const char* dense_type_attributes[] = {"weight_t", "bias_t", "accum_t", "result_t"};

// The types the caller fixes for each dense node: all four with a fixed precision, else those
// the node sets itself.
std::vector<snn::DenseTypes> given_dense_types(nb::handle graph, const snn::Network& net,
                                               bool precision_given) {
  std::vector<snn::DenseTypes> given(net.nodes.size());
  nb::object nodes = graph.attr("nodes");
  for (std::size_t i = 0; i < net.nodes.size(); ++i) {
    const snn::Node& node = net.nodes[i];
    if (node.kind != snn::NodeKind::dense) continue;
    nb::object graph_node = getitem(nodes, str_from_utf8_surrogates_passed(node.name));
    const auto kept = [&](const char* attribute,
                          const FixedType& type) -> std::optional<FixedType> {
      if (precision_given || truth(nb::getattr(graph_node, attribute, nb::none()))) return type;
      return std::nullopt;
    };
    given[i] = {kept("weight_t", node.weight_type), kept("bias_t", node.bias_type),
                kept("accum_t", node.accum_type), kept("result_t", node.result_type)};
  }
  return given;
}

// The samples the ranges are observed on: `calibration`, or the network's stimulus as one
// sample (a PerStep of its first `steps` steps where some Input's stimulus changes every step).
nb::object calibration_samples(nb::handle calibration, const snn::Network& net,
                               std::int64_t steps) {
  if (!calibration.is_none()) return nb::borrow(calibration);
  const bool per_step = std::any_of(net.nodes.begin(), net.nodes.end(),
                                    [](const snn::Node& node) { return node.stimulus_steps > 0; });
  nb::dict one_sample;
  for (const snn::Node& node : net.nodes) {
    if (node.kind != snn::NodeKind::input) continue;
    std::vector<std::int64_t> shape{1};
    for (std::size_t d : node.stimulus_shape) shape.push_back(static_cast<std::int64_t>(d));
    if (per_step) shape.insert(shape.begin(), steps);
    const std::vector<double> values =
        per_step ? snn::stimulus_of_steps(node, static_cast<std::size_t>(steps)) : node.stimulus;
    one_sample[str_from_utf8_surrogates_passed(node.name)] =
        array_from_bytes(values.data(), shape, engine::DType::f64);
  }
  if (!per_step) return one_sample;
  return imported("zelka.backend.cpu.simulator").attr("PerStep")(one_sample);
}

// A copy of `graph` whose dense nodes carry the chosen types where they set none.
nb::object typed_graph(nb::handle graph, const snn::Network& net, const snn::ChosenTypes& types) {
  nb::object replace = imported("dataclasses").attr("replace");
  nb::dict nodes;
  for (auto [name, node] : nb::borrow<nb::dict>(graph.attr("nodes"))) nodes[name] = node;
  for (std::size_t i = 0; i < net.nodes.size(); ++i) {
    if (net.nodes[i].kind != snn::NodeKind::dense) continue;
    nb::str name = str_from_utf8_surrogates_passed(net.nodes[i].name);
    nb::object node = nodes[name];
    const snn::DenseTypes& chosen = types.dense[i];
    const std::optional<FixedType>* values[] = {&chosen.weight, &chosen.bias, &chosen.accum,
                                                &chosen.result};
    nb::dict settings;
    for (std::size_t a = 0; a < 4; ++a)
      if (!truth(nb::getattr(node, dense_type_attributes[a], nb::none())))
        settings[dense_type_attributes[a]] = nb::str((*values[a])->name().c_str());
    nodes[name] =
        steal_or_raise(PyObject_Call(replace.ptr(), nb::make_tuple(node).ptr(), settings.ptr()));
  }
  return imported("zelka.ir")
      .attr("Graph")(nodes, nb::list(graph.attr("edges")),
                     nb::getattr(graph, "cyclic_config", nb::none()));
}

}  // namespace

AutoPrecision auto_precision(nb::handle graph, const snn::Network& net, const snn::Plan& plan,
                             nb::handle calibration, std::int64_t n_steps,
                             std::optional<FixedType> precision,
                             std::optional<FixedType> membrane) {
  const Numpy& np = Numpy::get();
  std::vector<nb::object> input_names, lif_names;
  std::vector<snn::Shape> input_shapes;
  for (const snn::Node& node : net.nodes) {
    if (node.kind == snn::NodeKind::input) {
      input_names.push_back(str_from_utf8_surrogates_passed(node.name));
      input_shapes.push_back(node.stimulus_shape);
    }
    if (node.kind == snn::NodeKind::lif)
      lif_names.push_back(str_from_utf8_surrogates_passed(node.name));
  }
  nb::object samples = calibration_samples(calibration, net, simulated_steps(graph, n_steps));
  const SampleInputs inputs = sample_inputs(samples, "calibration", input_names, input_shapes);
  require_finite_samples(inputs, "calibration", input_names, input_shapes);

  nb::list record;
  for (const nb::object& name : lif_names) {
    record.append(name);
    record.append(nb::str("v:") + nb::str(name));
  }
  const std::int64_t steps =
      inputs.per_step ? static_cast<std::int64_t>(inputs.steps) : simulated_steps(graph, n_steps);
  nb::object batch = simulated_batch(graph, samples, steps, record, "calibration");

  snn::CalibrationRun run;
  run.samples = inputs.samples;
  run.steps = nb::cast<std::size_t>(batch.attr("timesteps_run"));
  run.per_step = inputs.per_step;
  run.stimuli.assign(net.nodes.size(), nullptr);
  run.spikes.assign(net.nodes.size(), nullptr);
  run.membranes.assign(net.nodes.size(), nullptr);
  std::vector<nb::object> arrays;
  std::vector<std::unique_ptr<ArrayData>> views;
  const auto view = [&](nb::object array) {
    arrays.push_back(array);
    views.push_back(std::make_unique<ArrayData>(arrays.back()));
    return views.back()->data();
  };
  std::size_t input = 0, lif = 0;
  for (std::size_t i = 0; i < net.nodes.size(); ++i) {
    if (net.nodes[i].kind == snn::NodeKind::input)
      run.stimuli[i] = static_cast<const double*>(view(inputs.arrays[input++]));
    if (net.nodes[i].kind != snn::NodeKind::lif) continue;
    const nb::object& name = lif_names[lif++];
    run.spikes[i] = static_cast<const std::uint8_t*>(
        view(np.ascontiguousarray(getitem(batch.attr("spike_trains"), name))));
    run.membranes[i] = static_cast<const double*>(
        view(np.ascontiguousarray(getitem(batch.attr("membranes"), name), "dtype"_a = np.float64)));
  }
  std::vector<snn::ObservedRange> observed;
  {
    nb::gil_scoped_release release;
    observed = snn::observe_ranges(net, plan, run);
  }
  const snn::ChosenTypes chosen = snn::choose_types(
      net, plan, observed, run.steps,
      {precision, membrane, given_dense_types(graph, net, precision.has_value())});
  return {typed_graph(graph, net, chosen), chosen};
}

}  // namespace zelka::host::fpga
