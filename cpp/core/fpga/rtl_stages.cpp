#include "core/fpga/rtl_stages.hpp"

#include <algorithm>

namespace zelka::fpga::rtl {
namespace {

bool holds(const std::vector<std::size_t>& list, std::size_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

void add_once(std::vector<std::size_t>& list, std::size_t value) {
  if (!holds(list, value)) list.push_back(value);
}

// `read` applied to the unit an operation runs (a dense unit, LIF layer or copy unit).
template <typename Read>
decltype(auto) of_unit(const Design& design, const Operation& op, Read read) {
  switch (op.kind) {
    case UnitKind::dense:
      return read(design.dense[op.index]);
    case UnitKind::lif:
      return read(design.lif[op.index]);
    case UnitKind::copy:
      break;
  }
  return read(design.copies[op.index]);
}

}  // namespace

std::size_t node_of(const Design& design, const Operation& op) {
  return of_unit(design, op, [](const auto& unit) { return unit.node; });
}

const UnitInput& input_of(const Design& design, const Operation& op) {
  return of_unit(design, op, [](const auto& unit) -> const UnitInput& { return unit.input; });
}

std::size_t storage_of(const Design& design, const Operation& op) {
  return of_unit(design, op, [](const auto& unit) { return unit.storage; });
}

std::vector<Stage> stages_of(const Design& design) {
  const std::size_t count = design.operations.size();
  std::vector<Stage> stages(count);
  for (std::size_t k = 0; k < count; ++k) {
    stages[k].storage = storage_of(design, design.operations[k]);
    for (const Term& term : input_of(design, design.operations[k]).terms)
      add_once(stages[k].reads, term.storage);
  }
  for (std::size_t k = 0; k < count; ++k) {
    Stage& stage = stages[k];
    for (std::size_t s : stage.reads) {
      for (std::size_t p = 0; p < design.inputs.size(); ++p)
        if (design.inputs[p].storage == s) stage.input_ports.push_back(p);
      for (std::size_t j = 0; j < count; ++j)
        if (stages[j].storage == s) {
          stage.producers.push_back(j);
          stages[j].consumers.push_back(k);
        }
    }
  }
  for (std::size_t k = 0; k < count; ++k)
    for (std::size_t j = 0; j < count; ++j) {
      if (j == k) continue;
      const bool engine =
          design.operations[k].kind == UnitKind::lif && design.operations[j].kind == UnitKind::lif;
      const bool port = std::any_of(stages[k].reads.begin(), stages[k].reads.end(),
                                    [&](std::size_t s) { return holds(stages[j].reads, s); });
      if (engine || port) stages[k].conflicts.push_back(j);
    }
  for (Stage& stage : stages) std::sort(stage.consumers.begin(), stage.consumers.end());
  return stages;
}

std::vector<std::size_t> input_readers(const Design& design, const std::vector<Stage>& stages,
                                       std::size_t port) {
  std::vector<std::size_t> readers;
  for (std::size_t k = 0; k < stages.size(); ++k)
    if (holds(stages[k].reads, design.inputs[port].storage)) readers.push_back(k);
  return readers;
}

}  // namespace zelka::fpga::rtl
