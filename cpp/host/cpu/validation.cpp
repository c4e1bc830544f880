#include "host/cpu/validation.hpp"

#include <optional>
#include <vector>

#include "host/edges.hpp"
#include "host/ir_kinds.hpp"
#include "host/simulation/computed_graph.hpp"

using namespace nanobind::literals;

namespace zelka::host::cpu {

namespace {

// An edge that is not a (src, dst) pair, or one of its ends that names no node.
struct EdgeProblem {
  nb::object warning;
  std::optional<nb::object> missing_end;
};

// What validate reports on a graph's structure.
struct Structure {
  bool has_nodes = true;
  bool has_edges = true;
  std::vector<EdgeProblem> problems;  // in edge order
};

// What a computed graph cannot compute, for Inputs of their declared shapes; nothing for a
// pass-through graph or one whose edges are not sound (its order is unknown).
std::vector<simulation::LayerProblem> layer_problems(nb::handle graph, const Structure& structure) {
  if (!structure.has_nodes || !structure.problems.empty() || !simulation::computes_layers(graph))
    return {};
  const IrKinds kinds = IrKinds::load(zelka::ir::every_kind);
  return simulation::read_computed_graph(graph, kinds, simulation::declared_shapes(graph, kinds))
      .problems;
}

Structure read_structure(nb::handle graph) {
  Structure structure;
  nb::object nodes = graph.attr(interned("nodes"));
  structure.has_nodes = truth(nodes);
  nb::object edges = graph.attr(interned("edges"));
  structure.has_edges = truth(edges);
  nb::object node_names = steal_or_raise(PySet_New(nodes.ptr()));
  for (nb::handle edge : edges) {
    std::optional<EdgeEnds> ends = edge_ends(edge);
    if (!ends) {
      structure.problems.push_back({not_a_pair_message(edge), std::nullopt});
      continue;
    }
    for (nb::object& end : *ends) {
      const int known = PySet_Contains(node_names.ptr(), end.ptr());
      if (known < 0) throw nb::python_error();
      if (!known)
        structure.problems.push_back(
            {nb::str("Edge references missing node: {}").format(end), std::move(end)});
    }
  }
  return structure;
}

}  // namespace

nb::object validate(nb::handle graph) {
  nb::object result_type = imported("zelka.backend.config").attr(interned("ValidationResult"));
  nb::object result = result_type("is_valid"_a = true);
  const Structure structure = read_structure(graph);
  nb::object warnings = result.attr(interned("warnings"));
  nb::object unsupported = result.attr(interned("unsupported_nodes"));
  if (!structure.has_nodes) {
    result.attr("is_valid") = false;
    warnings.attr("append")("Graph has no nodes");
  }
  if (!structure.has_edges) warnings.attr("append")("Graph has no edges");
  for (const EdgeProblem& problem : structure.problems) {
    result.attr("is_valid") = false;
    if (problem.missing_end) unsupported.attr("append")(*problem.missing_end);
    warnings.attr("append")(problem.warning);
  }
  std::vector<simulation::LayerProblem> problems;
  try {
    problems = layer_problems(graph, structure);
  } catch (nb::python_error& e) {  // a `layers` that is neither choice
    if (!e.matches(PyExc_ValueError)) throw;
    result.attr("is_valid") = false;
    warnings.attr("append")(nb::str(e.value()));
  }
  for (const simulation::LayerProblem& problem : problems) {
    result.attr("is_valid") = false;
    if (!truth(unsupported.attr("__contains__")(problem.node)))
      unsupported.attr("append")(problem.node);
    warnings.attr("append")(nb::str(problem.text.c_str()));
  }
  return result;
}

bool is_valid(nb::handle graph) {
  const Structure structure = read_structure(graph);
  if (!structure.has_nodes || !structure.problems.empty()) return false;
  try {
    return layer_problems(graph, structure).empty();
  } catch (nb::python_error& e) {  // a `layers` that is neither choice
    if (!e.matches(PyExc_ValueError)) throw;
    return false;
  }
}

nb::object capabilities() {
  nb::object record = imported("zelka.backend.config").attr("BackendCapabilities");
  nb::list primitives;
  for (Kind kind : zelka::ir::cpu_listed_kinds()) primitives.append(kind_name(kind));
  nb::list precisions;
  for (const char* p : {"fp32", "fp16", "int16", "int8", "int4"}) precisions.append(p);
  nb::dict conv, affine, lif, limits;
  conv["max_kernel_size"] = 64;
  conv["max_channels"] = 65536;
  affine["max_params"] = 100000000;
  lif["max_neurons"] = 1000000;
  limits[kind_name(Kind::conv2d)] = conv;
  limits[kind_name(Kind::affine)] = affine;
  limits[kind_name(Kind::lif)] = lif;
  return record("supported_primitives"_a = primitives, "max_graph_size"_a = 1000000,
                "supported_precisions"_a = precisions, "supports_cyclic"_a = true,
                "primitive_constraints"_a = limits);
}

nb::object constraints() {
  nb::object hardware_spec = imported("zelka.graph").attr("HardwareSpec");
  return hardware_spec("max_neurons_per_core"_a = 10000, "max_synapses_per_core"_a = 10000000,
                       "sram_bytes_per_core"_a = 1000000000, "max_fan_in"_a = 10000,
                       "max_fan_out"_a = 10000, "num_cores"_a = 1);
}

}  // namespace zelka::host::cpu
