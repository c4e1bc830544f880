// zelka._ir: the graph IR's compiled helpers: the execution order behind the graph's is_dag
// and the CPU graph utilities' build_execution_context, and the node kinds the C++ knows.
#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>
#include <utility>
#include <vector>

#include "core/ir/node_kinds.hpp"
#include "core/rules/lif_rule.hpp"
#include "host/graph_order.hpp"
#include "host/numpy.hpp"
#include "host/simulation/computed_graph.hpp"

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(_ir, m) {
  m.def("stable_order", &zelka::host::stable_order, "names"_a, "edges"_a.none(),
        "(order, predecessors, is_dag) of the node names (a list) and the (src, dst) edges:\n"
        "Kahn's algorithm with ties broken by the names' order; when only cycles remain, the\n"
        "earliest remaining name goes next.");
  m.def("build_execution_context", &zelka::host::graph_stable_order, "graph"_a,
        "Return (exec_order, predecessors, is_dag) for `graph`.\n\n"
        "`exec_order` is a stable topological order: Kahn's algorithm with ties broken by the\n"
        "order of ``graph.nodes``; when only cycles remain, the earliest remaining node in that\n"
        "order goes next, so every node appears exactly once.  `predecessors[name]` lists the\n"
        "sources of the edges into `name` in edge order, with a key for every node.");
  m.def(
      "node_kinds",
      [] {
        std::vector<std::pair<std::string, std::vector<std::string>>> out;
        for (const zelka::ir::KindInfo& kind : zelka::ir::kinds) {
          std::vector<std::string> fields;
          for (std::size_t at = 0; at < kind.fields.size();) {
            const std::size_t end = std::min(kind.fields.find(' ', at), kind.fields.size());
            fields.emplace_back(kind.fields.substr(at, end - at));
            at = end + 1;
          }
          out.emplace_back(std::string(kind.name), std::move(fields));
        }
        return out;
      },
      "The IR node kinds the backends know, in their table's order: (class name, the kind's "
      "own\nfields in declaration order), which zelka.ir's classes must match.");
  m.def(
      "lif_choices",
      [] {
        const auto names = [](const auto& table) {
          return std::vector<std::string>(std::begin(table), std::end(table));
        };
        return std::vector<std::pair<std::string, std::vector<std::string>>>{
            {"reset", names(zelka::rules::lif_reset_names)},
            {"fire", names(zelka::rules::lif_fire_names)}};
      },
      "The values a LIF node's reset and fire fields take, the default first: [(field, "
      "names)].");
  m.def(
      "passed_through_computations",
      [] {
        std::vector<std::string> out;
        for (const zelka::ir::KindInfo& kind : zelka::ir::kinds)
          if (kind.simulated == zelka::ir::Simulated::passed_through &&
              kind.computed != zelka::ir::Computed::identity &&
              kind.computed != zelka::ir::Computed::refused)
            out.emplace_back(kind.name);
        return out;
      },
      "The names of the kinds that a pass-through graph passes through and a computed graph\n"
      "computes.");
  m.def(
      "check_computed_layers",
      [](nb::handle graph, nb::handle input_shapes) {
        namespace sim = zelka::host::simulation;
        zelka::host::Numpy::load();  // on first use: importing zelka.ir imports no numpy
        const zelka::host::IrKinds kinds = zelka::host::IrKinds::load(zelka::ir::every_kind);
        if (!input_shapes.is_none() && !PyDict_Check(input_shapes.ptr()))
          throw nb::type_error("input_shapes must be a dict or None");
        const nb::dict shapes = input_shapes.is_none() ? sim::declared_shapes(graph, kinds)
                                                       : nb::borrow<nb::dict>(input_shapes);
        const auto problems = sim::read_computed_graph(graph, kinds, shapes).problems;
        if (!problems.empty()) throw nb::value_error(sim::refusal_text(problems).c_str());
      },
      "graph"_a, "input_shapes"_a.none() = nb::none(),
      "Raise ValueError listing what the computed graph cannot compute, for Inputs of the\n"
      "shapes given (a dict from Input name to shape), or else of their declared shapes.");
}
