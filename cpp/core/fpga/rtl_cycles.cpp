#include "core/fpga/rtl_cycles.hpp"

#include <algorithm>

namespace zelka::fpga::rtl {
namespace {

using snn::NodeKind;

// The cycles the controller adds to a step (the edge taking `start`, and the one raising
// `done`) and to every operation (the cycle that starts its unit, or skips it).
constexpr std::uint64_t step_overhead = 2;
constexpr std::uint64_t operation_overhead = 1;
// A dense block's cycles besides its events and writes when it has events: the four-stage
// drain; a LIF layer's besides its words: the nine-stage pipeline.
constexpr std::uint64_t drain_cycles = 4;
constexpr std::uint64_t lif_overhead = 9;

// Which values of a memory may be nonzero at step `step` (counted from 1).
class Activity {
 public:
  Activity(const snn::Network& net, const Design& design, const snn::ReferenceSpikes* spikes)
      : net_(net), design_(design), spikes_(spikes), lif_number_(net.nodes.size(), 0) {
    std::size_t number = 0;
    for (std::size_t i = 0; i < net.nodes.size(); ++i)
      if (net.nodes[i].kind == NodeKind::lif) lif_number_[i] = number++;
  }

  bool nonzero(const Term& term, std::size_t element, std::size_t step) const {
    const Storage& st = design_.storages[term.storage];
    const snn::Node& node = net_.nodes[st.node];
    if (spikes_ && node.kind == NodeKind::lif) {
      const std::size_t at = term.previous_step ? step - 1 : step;
      return (*spikes_)[lif_number_[st.node]][(at - 1) * node.neurons + element] != 0;
    }
    if (spikes_ && node.kind == NodeKind::input) {
      const std::size_t set =
          node.stimulus_steps > 0 ? (step - 1) * snn::element_count(node.stimulus_shape) : 0;
      return node.stimulus[set + element] != 0.0;
    }
    return true;
  }

 private:
  const snn::Network& net_;
  const Design& design_;
  const snn::ReferenceSpikes* spikes_;
  std::vector<std::size_t> lif_number_;
};

std::uint64_t dense_cycles(const DenseUnit& unit, std::size_t lanes, const Activity& activity,
                           std::size_t step) {
  std::uint64_t scan = 1, events = 0;
  for (std::size_t w = 0; w < unit.in_words; ++w) {
    std::uint64_t in_word = 0;
    for (std::size_t e = w * lanes; e < std::min((w + 1) * lanes, unit.n_in); ++e)
      in_word +=
          std::any_of(unit.input.terms.begin(), unit.input.terms.end(), [&](const Term& term) {
            return static_cast<int>(step) >= term.from_step && activity.nonzero(term, e, step);
          });
    scan += std::max<std::uint64_t>(in_word, 1);
    events += in_word;
  }
  // The first block accumulates during the scan; the later ones read the events back.
  const std::uint64_t blocks =
      events == 0 ? 0 : drain_cycles + (unit.blocks - 1) * (events + drain_cycles);
  return scan + blocks + unit.out_words;
}

std::uint64_t cycles_of_step(const Design& design, const Activity& activity, std::size_t step) {
  std::uint64_t cycles = step_overhead;
  for (const Operation& op : design.operations) {
    cycles += operation_overhead;
    if (static_cast<int>(step) < op.first_step) continue;
    switch (op.kind) {
      case UnitKind::dense:
        cycles += dense_cycles(design.dense[op.index], design.lanes, activity, step);
        break;
      case UnitKind::lif:
        cycles += design.lif[op.index].words + lif_overhead;
        break;
      case UnitKind::copy:
        cycles += design.storages[design.copies[op.index].storage].words + 1;
        break;
    }
  }
  return cycles;
}

}  // namespace

std::vector<std::uint64_t> step_cycles(const snn::Network& network, const Design& design,
                                       const snn::ReferenceSpikes& spikes, std::size_t steps) {
  const Activity activity(network, design, &spikes);
  std::vector<std::uint64_t> cycles;
  for (std::size_t step = 1; step <= steps; ++step)
    cycles.push_back(cycles_of_step(design, activity, step));
  return cycles;
}

std::uint64_t longest_step_cycles(const snn::Network& network, const Design& design) {
  const Activity every_value(network, design, nullptr);
  return cycles_of_step(design, every_value, static_cast<std::size_t>(design.steps_to_settle));
}

}  // namespace zelka::fpga::rtl
