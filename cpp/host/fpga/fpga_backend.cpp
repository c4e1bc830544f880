#include "host/fpga/fpga_backend.hpp"

#include "core/fpga/boards.hpp"
#include "core/fpga/defaults.hpp"

using namespace nanobind::literals;

namespace zelka::host::fpga {
namespace {

bool is_supported(nb::handle name) {
  for (Kind kind : supported_kinds)
    if (PyUnicode_CompareWithASCIIString(name.ptr(), kind_name(kind)) == 0) return true;
  return false;
}

void append(nb::handle list, nb::handle item) {
  if (PyList_Append(list.ptr(), item.ptr()) < 0) throw nb::python_error();
}

// The block-RAM bytes of the default part: all a single core of the target holds.
std::int64_t default_part_bram_bytes() {
  for (const auto& entry : zelka::fpga::part_resources)
    if (entry.part == zelka::fpga::default_part)
      for (const auto& [name, amount] : entry.resources)
        if (name == "bram_bytes") return amount;
  return 0;
}

}  // namespace

nb::list supported_kind_list() {
  nb::list names;
  for (Kind kind : supported_kinds) names.append(kind_name(kind));
  return names;
}

nb::object supported_kind_set() {
  return steal_or_raise(PyFrozenSet_New(supported_kind_list().ptr()));
}

nb::object validate(nb::handle graph) {
  const IrKinds kinds = IrKinds::load({Kind::input, Kind::output});
  nb::object result_type = imported("zelka.backend.config").attr("ValidationResult");
  nb::object result = result_type("is_valid"_a = true);
  nb::object warnings = result.attr("warnings");
  nb::object unsupported = result.attr("unsupported_nodes");
  nb::object nodes = graph.attr("nodes");
  if (!truth(nodes)) {
    result.attr("is_valid") = false;
    append(warnings, nb::str("Graph has no nodes"));
  }
  nb::object node_names = steal_or_raise(PySet_New(nodes.ptr()));
  for (nb::handle edge : graph.attr("edges")) {
    for (const nb::object& end : unpack(edge, 2)) {
      const int known = PySet_Contains(node_names.ptr(), end.ptr());
      if (known < 0) throw nb::python_error();
      if (known) continue;
      result.attr("is_valid") = false;
      append(unsupported, end);
    }
  }
  for (nb::handle item : nodes.attr("items")()) {
    const std::vector<nb::object> name_and_node = unpack(item, 2);
    const nb::object& node = name_and_node[1];
    if (kinds.is(node, Kind::input) || kinds.is(node, Kind::output)) continue;
    nb::object kind = nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(node.ptr()))).attr("__name__");
    if (is_supported(kind)) continue;
    result.attr("is_valid") = false;
    append(unsupported, name_and_node[0]);
    append(warnings,
           nb::str("Node '{}': {} not supported by FPGA backend").format(name_and_node[0], kind));
  }
  return result;
}

nb::object capabilities() {
  nb::object record = imported("zelka.backend.config").attr("BackendCapabilities");
  nb::list precisions;
  for (const char* p : {"fp32", "int16", "int8", "int4", zelka::fpga::default_precision})
    precisions.append(p);
  const auto limits = [](std::initializer_list<std::pair<const char*, std::int64_t>> entries) {
    nb::dict out;
    for (const auto& [name, value] : entries) out[name] = value;
    return out;
  };
  nb::dict constraints;
  constraints[kind_name(Kind::conv2d)] = limits({{"max_kernel_size", 64}, {"max_channels", 2048}});
  constraints[kind_name(Kind::conv1d)] = limits({{"max_kernel_size", 128}, {"max_channels", 2048}});
  constraints[kind_name(Kind::affine)] = limits({{"max_params", 16000000}});
  constraints[kind_name(Kind::lif)] = limits({{"max_neurons", 262144}});
  constraints[kind_name(Kind::max_pool2d)] = limits({{"max_kernel_size", 8}});
  constraints[kind_name(Kind::avg_pool2d)] = limits({{"max_kernel_size", 8}});
  return record("supported_primitives"_a = supported_kind_list(), "max_graph_size"_a = 50000,
                "supported_precisions"_a = precisions, "supports_cyclic"_a = false,
                "primitive_constraints"_a = constraints);
}

nb::object constraints() {
  nb::object hardware_spec = imported("zelka.graph").attr("HardwareSpec");
  return hardware_spec("max_neurons_per_core"_a = 4096, "max_synapses_per_core"_a = 1000000,
                       "sram_bytes_per_core"_a = default_part_bram_bytes(), "max_fan_in"_a = 8192,
                       "max_fan_out"_a = 8192, "num_cores"_a = 1);
}

}  // namespace zelka::host::fpga
