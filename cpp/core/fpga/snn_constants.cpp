#include "core/fpga/snn_constants.hpp"

#include <cmath>

#include "core/errors.hpp"
#include "core/text/number_format.hpp"

namespace zelka::fpga::snn {
namespace {

// "[3, 17]": the index of element `flat` of an array of `shape`.
std::string index_text(std::size_t flat, const Shape& shape) {
  std::vector<std::size_t> index(shape.size());
  for (std::size_t d = shape.size(); d-- > 0;) {
    index[d] = flat % shape[d];
    flat /= shape[d];
  }
  std::string out = "[";
  for (std::size_t d = 0; d < index.size(); ++d) out += (d ? ", " : "") + std::to_string(index[d]);
  return out + "]";
}

void round_array(const Node& node, const char* what, std::vector<double>& values,
                 const Shape& shape, const FixedType& type, std::vector<std::string>& warnings) {
  if (type.width > widest_constant_type)
    throw ValueError(node.label + ": the " + what + " type " + type.name() + " is wider than " +
                     std::to_string(widest_constant_type) +
                     " bits; the project writes constants as double literals, which hold at "
                     "most that many exactly");
  RoundedValues rounded = round_onto(values, type);
  if (rounded.changed > 0) {
    const double from = values[rounded.largest], to = rounded.values[rounded.largest];
    warnings.push_back(node.label + ": " + what + " rounded to " + type.name() + ": " +
                       std::to_string(rounded.changed) + " of " + std::to_string(values.size()) +
                       " values changed, the largest by " + text::float_repr(std::abs(to - from)) +
                       " (at " + index_text(rounded.largest, shape) + ", " +
                       text::float_repr(from) + " became " + text::float_repr(to) + ")");
  }
  values = std::move(rounded.values);
}

}  // namespace

std::vector<std::string> round_constants(Network& net) {
  std::vector<std::string> warnings;
  const FixedType decay = decay_type(net.membrane_type);
  for (Node& node : net.nodes) {
    switch (node.kind) {
      case NodeKind::input: {
        Shape shape = node.stimulus_shape;
        if (node.stimulus_steps > 0) shape.insert(shape.begin(), node.stimulus_steps);
        round_array(node, "stimulus", node.stimulus, shape, net.input_type, warnings);
        break;
      }
      case NodeKind::dense:
        round_array(node, "weight", node.weight, {node.n_out, node.n_in}, node.weight_type,
                    warnings);
        round_array(node, "bias", node.bias, {node.n_out}, node.bias_type, warnings);
        break;
      case NodeKind::lif:
        round_array(node, "decay (1 - 1/tau)", node.decay, {node.neurons}, decay, warnings);
        round_array(node, "v_threshold", node.threshold, {node.neurons}, net.membrane_type,
                    warnings);
        round_array(node, "v_leak", node.rest, {node.neurons}, net.membrane_type, warnings);
        break;
      case NodeKind::pass_through:
      case NodeKind::output:
        break;
    }
  }
  return warnings;
}

}  // namespace zelka::fpga::snn
