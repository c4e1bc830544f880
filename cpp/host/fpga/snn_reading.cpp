#include "host/fpga/snn_reading.hpp"

#include <algorithm>

#include "core/fpga/snn_constants.hpp"
#include "core/text/template.hpp"

namespace zelka::host::fpga {

namespace snn = zelka::fpga::snn;

PlannedNetwork planned_network(nb::handle graph, nb::handle input_data,
                               const NetworkSettings& settings) {
  snn::Network network = read_network(graph, input_data, settings);
  const bool has_lif = std::any_of(network.nodes.begin(), network.nodes.end(),
                                   [](const snn::Node& n) { return n.kind == snn::NodeKind::lif; });
  if (!has_lif)
    throw nb::value_error(
        "the graph has no LIF node: the project's test bench compares the spikes of LIF layers");
  snn::Plan plan = snn::plan_network(network);
  for (const snn::Node& node : network.nodes)
    if (node.kind == snn::NodeKind::lif && text::has_control_character(node.name))
      raise_formatted(PyExc_ValueError,
                      "{}: its name holds a line break or another control character, which the "
                      "test bench's report cannot carry",
                      nb::str(node.label.c_str()));
  return {std::move(network), std::move(plan)};
}

void round_constants_with_warnings(snn::Network& network) {
  for (const std::string& text : snn::round_constants(network))
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0) throw nb::python_error();
}

}  // namespace zelka::host::fpga
