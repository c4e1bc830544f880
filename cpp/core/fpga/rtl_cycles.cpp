#include "core/fpga/rtl_cycles.hpp"

#include <algorithm>
#include <stdexcept>

#include "core/fpga/rtl_stages.hpp"

namespace zelka::fpga::rtl {
namespace {

using snn::NodeKind;

// The cycles the controller adds to a step (the edge taking `start`, and the one raising
// `done`) and to every operation (the cycle that starts its unit, or skips it).
constexpr std::uint64_t step_overhead = 2;
constexpr std::uint64_t operation_overhead = 1;
// A dense block's cycles besides its events and writes when it has events: the four-stage
// drain; a LIF layer's besides its words: the nine-stage pipeline.
// The overlapped controller starts a unit the cycle after it chooses it.
constexpr std::uint64_t overlapped_start_delay = 1;
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

// The cycles of an operation's unit at `step`, from the cycle that starts it to the one that
// raises its `done`.
std::uint64_t unit_cycles(const Design& design, const Operation& op, const Activity& activity,
                          std::size_t step) {
  switch (op.kind) {
    case UnitKind::dense:
      return dense_cycles(design.dense[op.index], design.lanes, activity, step);
    case UnitKind::lif:
      return design.lif[op.index].words + lif_overhead;
    case UnitKind::copy:
      break;
  }
  return design.storages[design.copies[op.index].storage].words + 1;
}

std::uint64_t cycles_of_step(const Design& design, const Activity& activity, std::size_t step) {
  std::uint64_t cycles = step_overhead;
  for (const Operation& op : design.operations) {
    cycles += operation_overhead;
    if (static_cast<int>(step) >= op.first_step) cycles += unit_cycles(design, op, activity, step);
  }
  return cycles;
}

// The overlapped schedule run cycle by cycle as the top module's controller runs it, with the
// host of the test bench: whenever the design takes a stimulus (in_ready; for a run's first
// step, when it is idle too) the host writes the Input ports' words, a word a cycle, and
// raises `start` with the last (alone, with no Input port).  A step's cycles are counted from the
// cycle after the previous step's `done` (or from the cycle of its own `start`, when no step was
// under way) to the one after which its `done` is high: in a full pipeline, the interval between
// completed steps.
class Pipeline {
 public:
  Pipeline(const Design& design, const Activity& activity)
      : design_(design),
        activity_(activity),
        stages_(stages_of(design)),
        count_(stages_.size()),
        running_(count_, false),
        done_at_(count_, 0),
        begun_(count_, 0),
        ahead_(count_, 0),
        filled_(count_) {
    for (std::size_t k = 0; k < count_; ++k) filled_[k].assign(stages_[k].consumers.size(), false);
    for (std::size_t p = 0; p < design.inputs.size(); ++p) {
      readers_.push_back(input_readers(design, stages_, p));
      pending_.emplace_back(readers_.back().size(), 0);
      host_words_ += design.storages[design.inputs[p].storage].words;
    }
  }

  // `longest_step` bounds a step's cycles: a run past steps of those is a fault of the model.
  std::vector<std::uint64_t> run(std::size_t steps, std::uint64_t longest_step) {
    std::vector<std::uint64_t> cycles;
    std::size_t issued = 0, outstanding = 0;
    std::uint64_t cycle = 0, counted = 0, writing = 0;
    const std::uint64_t limit = 2 * (steps + 1) * (longest_step + host_words_ + 1);
    while (cycles.size() < steps) {
      if (cycle > limit) throw std::logic_error("the overlapped schedule's model stalled");
      bool start = false;
      if (writing == 0 && issued < steps && in_ready() && (issued > 0 || !busy()))
        writing = std::max<std::uint64_t>(host_words_, 1);
      if (writing > 0 && --writing == 0) {
        start = true;
        ++issued;
        ++outstanding;
      }
      const std::vector<bool> done = finishing(cycle);
      const std::vector<bool> launch = launching();
      const bool complete =
          std::all_of(ahead_.begin(), ahead_.end(), [](std::size_t a) { return a > 0; });
      if (outstanding > 0) ++counted;
      if (complete) {
        cycles.push_back(counted);
        counted = 0;
        --outstanding;
      }
      advance(cycle, start, done, launch, complete);
      ++cycle;
    }
    return cycles;
  }

 private:
  std::size_t consumer_slot(std::size_t producer, std::size_t consumer) const {
    const std::vector<std::size_t>& list = stages_[producer].consumers;
    return static_cast<std::size_t>(std::find(list.begin(), list.end(), consumer) - list.begin());
  }

  std::size_t reader_slot(std::size_t port, std::size_t reader) const {
    const std::vector<std::size_t>& list = readers_[port];
    return static_cast<std::size_t>(std::find(list.begin(), list.end(), reader) - list.begin());
  }

  bool in_ready() const {
    for (const auto& counts : pending_)
      for (int c : counts)
        if (c > 1) return false;
    return true;
  }

  bool busy() const {
    for (std::size_t k = 0; k < count_; ++k) {
      if (running_[k]) return true;
      for (bool f : filled_[k])
        if (f) return true;
    }
    for (const auto& counts : pending_)
      for (int c : counts)
        if (c > 0) return true;
    return false;
  }

  std::vector<bool> finishing(std::uint64_t cycle) const {
    std::vector<bool> done(count_);
    for (std::size_t k = 0; k < count_; ++k) done[k] = running_[k] && done_at_[k] == cycle;
    return done;
  }

  bool ready(std::size_t k) const {
    const Stage& stage = stages_[k];
    if (running_[k]) return false;
    for (std::size_t p : stage.producers)
      if (!filled_[p][consumer_slot(p, k)]) return false;
    for (std::size_t port : stage.input_ports)
      if (pending_[port][reader_slot(port, k)] == 0) return false;
    return std::none_of(filled_[k].begin(), filled_[k].end(), [](bool f) { return f; });
  }

  // The operations started this cycle: ready, beside no running operation they conflict
  // with, and before them in the order none of those starting.
  std::vector<bool> launching() const {
    std::vector<bool> launch(count_, false);
    for (std::size_t k = 0; k < count_; ++k)
      launch[k] = ready(k) &&
                  std::none_of(stages_[k].conflicts.begin(), stages_[k].conflicts.end(),
                               [&](std::size_t j) { return running_[j] || (j < k && launch[j]); });
    return launch;
  }

  void advance(std::uint64_t cycle, bool start, const std::vector<bool>& done,
               const std::vector<bool>& launch, bool complete) {
    for (std::size_t k = 0; k < count_; ++k) {
      if (done[k]) {
        running_[k] = false;
        filled_[k].assign(filled_[k].size(), true);
        for (std::size_t p : stages_[k].producers) filled_[p][consumer_slot(p, k)] = false;
        for (std::size_t port : stages_[k].input_ports) --pending_[port][reader_slot(port, k)];
        ++ahead_[k];
      }
      if (complete) --ahead_[k];
    }
    if (start)
      for (auto& counts : pending_)
        for (int& c : counts) ++c;
    for (std::size_t k = 0; k < count_; ++k)
      if (launch[k]) {
        running_[k] = true;
        done_at_[k] = cycle + overlapped_start_delay +
                      unit_cycles(design_, design_.operations[k], activity_, ++begun_[k]);
      }
  }

  const Design& design_;
  const Activity& activity_;
  std::vector<Stage> stages_;
  std::size_t count_;
  std::vector<bool> running_;
  std::vector<std::uint64_t> done_at_;
  std::vector<std::size_t> begun_, ahead_;         // steps begun; steps done past the last complete
  std::vector<std::vector<bool>> filled_;          // per operation and consumer: a value unread
  std::vector<std::vector<std::size_t>> readers_;  // per Input port
  std::vector<std::vector<int>> pending_;          // per Input port and reader: steps unread
  std::uint64_t host_words_ = 0;
};

}  // namespace

std::vector<std::uint64_t> step_cycles(const snn::Network& network, const Design& design,
                                       const snn::ReferenceSpikes& spikes, std::size_t steps) {
  const Activity activity(network, design, &spikes);
  if (design.schedule == Schedule::overlapped)
    return Pipeline(design, activity).run(steps, longest_step_cycles(network, design));
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
