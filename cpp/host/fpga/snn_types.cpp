#include "host/fpga/snn_types.hpp"

#include "host/fpga/snn_arguments.hpp"
#include "host/fpga/snn_auto_precision.hpp"

namespace zelka::host::fpga {
namespace {

using zelka::fpga::FixedType;
namespace snn = zelka::fpga::snn;

bool is_auto(nb::handle text) {
  return PyUnicode_Check(text.ptr()) && utf8(text) == "auto";
}

// The chosen types in place of those the network was read with.
void apply_types(snn::Network& network, const snn::ChosenTypes& types) {
  network.input_type = types.input;
  network.membrane_type = types.membrane;
  for (std::size_t i = 0; i < network.nodes.size(); ++i) {
    snn::Node& node = network.nodes[i];
    if (node.kind != snn::NodeKind::dense) continue;
    node.weight_type = *types.dense[i].weight;
    node.bias_type = *types.dense[i].bias;
    node.accum_type = *types.dense[i].accum;
    node.result_type = *types.dense[i].result;
  }
}

}  // namespace

GivenTypes given_types(nb::handle precision, nb::handle membrane_precision,
                       nb::handle calibration) {
  GivenTypes given;
  if (!is_auto(precision)) given.precision = type_argument(precision, "precision", true);
  if (!membrane_precision.is_none() && !is_auto(membrane_precision))
    given.membrane = type_argument(membrane_precision, "membrane_precision", true);
  else if (membrane_precision.is_none() && given.precision)
    given.membrane = zelka::fpga::default_membrane_type(*given.precision);
  if (!given.chosen() && !calibration.is_none())
    throw nb::value_error(
        "Argument 'calibration' is read by precision='auto' and membrane_precision='auto' only");
  return given;
}

NetworkSettings settings_for(const GivenTypes& given, snn::Strategy strategy, unsigned reuse_factor,
                             const char* writer) {
  return {given.precision.value_or(FixedType{}), given.membrane.value_or(FixedType{}), strategy,
          reuse_factor, writer};
}

nb::object choose_missing_types(nb::handle graph, PlannedNetwork& planned, GivenTypes& given,
                                nb::handle calibration, std::int64_t n_steps) {
  if (!given.chosen()) return nb::borrow(graph);
  const AutoPrecision chosen = auto_precision(graph, planned.network, planned.plan, calibration,
                                              n_steps, given.precision, given.membrane);
  given.precision = chosen.types.input;
  given.membrane = chosen.types.membrane;
  apply_types(planned.network, chosen.types);
  planned.plan = snn::plan_network(planned.network);
  return chosen.graph;
}

nb::dict layer_types(const snn::Network& network) {
  const auto str = [](const FixedType& type) { return nb::str(type.name().c_str()); };
  nb::dict layers;
  for (const snn::Node& node : network.nodes) {
    nb::dict types;
    if (node.kind == snn::NodeKind::dense) {
      types["weight_t"] = str(node.weight_type);
      types["bias_t"] = str(node.bias_type);
      types["accum_t"] = str(node.accum_type);
      types["result_t"] = str(node.result_type);
    } else if (node.kind == snn::NodeKind::lif) {
      types["membrane_t"] = str(network.membrane_type);
      types["decay_t"] = str(zelka::fpga::decay_type(network.membrane_type));
    } else {
      continue;
    }
    layers[str_from_utf8_surrogates_passed(node.name)] = types;
  }
  return layers;
}

}  // namespace zelka::host::fpga
