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

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(_ir, m) {
  m.def("stable_order", &zelka::host::stable_order, "names"_a, "edges"_a.none(),
        "(order, predecessors, is_dag) of the node names (a list) and the (src, dst) edges:\n"
        "Kahn's algorithm with ties broken by the names' order; when only cycles remain, the\n"
        "earliest remaining name goes next.");
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
}
