#include "host/cpu/compile.hpp"

#include "host/execution_context.hpp"
#include "host/ir_kinds.hpp"
#include "host/numpy.hpp"

using namespace nanobind::literals;

namespace zelka::host::cpu {
namespace {

// The node's attribute when it has one and it is truthy, else `fallback`.
nb::object truthy_attribute_or(nb::handle node, const char* name, nb::handle fallback) {
  nb::object value = nb::getattr(node, name, nb::none());
  return truth(value) ? value : nb::borrow(fallback);
}

nb::object core_of(nb::handle node) {
  return truthy_attribute_or(node, "core_id", nb::int_(0));
}

// dict.setdefault(key, default), returning the entry.
nb::object entry(nb::handle dict, nb::handle key, nb::handle fallback) {
  return dict.attr("setdefault")(key, fallback);
}

// The arrays of a node the descriptor's weight table holds: every declared field holding
// an array of one or more dimensions, or for a node without declared fields its weight and
// bias arrays of any rank.
void add_weights(nb::handle table, nb::handle name, nb::handle node) {
  const Numpy& np = Numpy::get();
  const auto store = [&](nb::handle attr, nb::handle value) {
    table[nb::str("{}.{}").format(name, attr)] = value;
  };
  if (nb::hasattr(node, "__dataclass_fields__")) {
    nb::object fields = node.attr("__dataclass_fields__");
    for (nb::handle attr : steal_or_raise(PySequence_List(fields.ptr()))) {
      nb::object value = nb::getattr(node, attr, nb::none());
      if (is_instance(value, np.ndarray) && truth(compare(value.attr("ndim"), nb::int_(1), Py_GE)))
        store(attr, value);
    }
    return;
  }
  for (const char* attr : {"weight", "bias"}) {
    nb::object value = nb::getattr(node, attr, nb::none());
    if (is_instance(value, np.ndarray)) store(nb::str(attr), value);
  }
}

}  // namespace

nb::object compile(nb::handle graph, nb::handle config_arg, nb::handle compile_config) {
  const IrKinds kinds = IrKinds::load({Kind::input, Kind::output});
  nb::module_ framework = imported("zelka.backend.config");
  nb::object config = truth(config_arg) ? nb::borrow(config_arg) : compile_config();
  if (config.attr("execution_mode").is_none()) {
    const char* mode = truth(graph.attr("is_dag")) ? "dag" : "cyclic";
    config = imported("dataclasses").attr("replace")(config, "execution_mode"_a = mode);
  }

  nb::object descriptor = framework.attr("HardwareDescriptor")();
  nb::object nodes = graph.attr("nodes");
  nb::dict metadata;
  metadata["backend"] = "cpu";
  metadata["execution_mode"] = config.attr("execution_mode");
  metadata["optimize_for"] = config.attr("optimize_for");
  metadata["num_nodes"] = nb::len(nodes);
  metadata["num_edges"] = nb::len(nb::object(graph.attr("edges")));
  descriptor.attr("metadata") = metadata;

  nb::object neuron_config = framework.attr("NeuronConfig");
  nb::object neuron_configs = descriptor.attr("neuron_configs");
  nb::object target_precision = config.attr("target_precision");
  for (nb::handle item : nodes.attr("items")()) {
    nb::object name = item[0], node = item[1];
    if (kinds.is(node, Kind::input) || kinds.is(node, Kind::output)) continue;
    nb::object core = core_of(node);
    nb::object nc = neuron_config(
        "node_name"_a = name, "node_type"_a = node.type().attr("__name__"), "core_id"_a = core,
        "precision"_a = truthy_attribute_or(node, "precision", target_precision));
    nb::object parameters = node.attr("to_dict")();
    parameters.attr("pop")("type", nb::none());
    nc.attr("parameters") = parameters;
    entry(neuron_configs, core, nb::list()).attr("append")(nc);
  }

  nb::object weight_tables = descriptor.attr("weight_tables");
  for (nb::handle item : nodes.attr("items")()) {
    nb::object name = item[0], node = item[1];
    if (kinds.is(node, Kind::input) || kinds.is(node, Kind::output)) continue;
    add_weights(entry(weight_tables, core_of(node), nb::dict()), name, node);
  }

  const ExecutionContext context = execution_context(graph);
  nb::dict per_core;
  for (nb::handle name : context.exec_order) {
    nb::object node = getitem(nodes, name);
    if (kinds.is(node, Kind::input) || kinds.is(node, Kind::output)) continue;
    entry(per_core, core_of(node), nb::list()).attr("append")(name);
  }
  nb::dict schedule;
  for (auto [core, names] : per_core) {
    nb::list single_stage;
    single_stage.append(names);
    schedule[core] = single_stage;
  }
  descriptor.attr("execution_schedule") = schedule;
  return descriptor;
}

}  // namespace zelka::host::cpu
