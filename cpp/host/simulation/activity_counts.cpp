#include "host/simulation/activity_counts.hpp"

#include <algorithm>

#include "core/engine/activity.hpp"
#include "host/numpy.hpp"

using namespace nanobind::literals;

namespace zelka::host::simulation {
namespace {

using zelka::ir::Computed;
using zelka::ir::Simulated;

Kind kind_of(const IrKinds& kinds, nb::handle node) {
  for (const Kind kind : zelka::ir::every_kind)
    if (kinds.is(node, kind)) return kind;
  return Kind::skip;  // not an IR node: the step passes its input on
}

// A node of the kind holds what its input holds when that is spikes or sums of them.
bool passes_spikes_on(Kind kind, bool computed) {
  const auto& info = zelka::ir::info(kind);
  if (info.simulated == Simulated::reported) return true;
  if (!computed) return info.simulated == Simulated::passed_through;
  return info.computed == Computed::flattening || info.computed == Computed::identity ||
         info.computed == Computed::max_pooling;
}

bool multiplies_by_weights(Kind kind, bool computed) {
  const auto& info = zelka::ir::info(kind);
  if (info.simulated == Simulated::affine) return true;
  return computed && (info.computed == Computed::affine || info.computed == Computed::convolution);
}

// All predecessors of `name` are in `spiking`.
bool fed_by(const RunSetup& setup, nb::handle name, const nb::set& spiking) {
  nb::object preds = getitem(setup.predecessors, name);
  bool all = truth(preds);
  for (nb::handle p : preds) all = all && spiking.contains(p);
  return all;
}

// The nodes whose values are spikes or sums of them, by name: LIF nodes, the Inputs named in
// `inputs`, and nodes that pass on the values of predecessors that all hold such values (the
// largest such set, so that a node passing its own value back to itself keeps it).
nb::set spiking_nodes(const RunSetup& setup, const std::vector<std::pair<nb::object, Kind>>& nodes,
                      const nb::set& inputs) {
  const bool computed = setup.computed != nullptr;
  nb::set spiking, sources;
  for (const auto& [name, kind] : nodes) {
    const bool source = kind == Kind::lif || inputs.contains(name);
    if (source) sources.add(name);
    if (source || passes_spikes_on(kind, computed)) spiking.add(name);
  }
  for (bool changed = true; changed;) {
    changed = false;
    for (const auto& [name, kind] : nodes) {
      if (sources.contains(name) || !spiking.contains(name)) continue;
      if (!fed_by(setup, name, spiking)) {
        spiking.discard(name);
        changed = true;
      }
    }
  }
  return spiking;
}

// The synapses each input value of a counted layer reaches, or nothing when the layer has no
// weights it can compute with (its input shape unknown, a weight that is not a matrix).
std::optional<std::vector<std::int64_t>> fan_out(const RunSetup& setup, nb::handle name,
                                                 nb::handle node) {
  if (setup.computed) {
    const ComputedNode* c = setup.computed->find(name);
    if (!c) return std::nullopt;
    if (c->layer) return engine::convolution_fan_out(c->layer->convolution);
  }
  const Numpy& np = Numpy::get();
  nb::object weight = np.module.attr("asarray")(node.attr("weight"));
  const std::vector<std::int64_t> shape = shape_of(weight);
  if (shape.size() != 2) return std::nullopt;
  return std::vector<std::int64_t>(static_cast<std::size_t>(shape[1]), shape[0]);
}

// The counter of the LIF whose spike vector is the input of node `node`'s Affine
// instruction, when that LIF is computed before it in the program (each step then counts
// the LIF's spikes of that step); else -1.
int lif_computed_before(const engine::Plan& plan, int node) {
  for (std::size_t i = 0; i < plan.program.size(); ++i) {
    const engine::Instruction& ins = plan.program[i];
    if (ins.node != node || ins.kind != engine::OpKind::affine) continue;
    const int input = plan.affine[ins.affine].input;
    for (std::size_t k = 0; k < i; ++k)
      if (plan.program[k].kind == engine::OpKind::lif &&
          plan.lif[plan.program[k].lif].spikes == input)
        return plan.lif[plan.program[k].lif].counter;
  }
  return -1;
}

// Whether a product of the plan takes slot `slot` for spikes: the planner found it 0 or 1 at
// every step of every sample the plan runs, so that no check of it can find another value.
bool products_take_for_spikes(const engine::Plan& plan, int slot) {
  return std::any_of(
             plan.affine.begin(), plan.affine.end(),
             [&](const engine::AffineArgs& a) { return a.input == slot && a.spike_input; }) ||
         std::any_of(plan.layers.begin(), plan.layers.end(),
                     [&](const engine::LayerArgs& l) { return l.input == slot && l.spike_input; });
}

}  // namespace

ActivityCounts plan_activity(const RunSetup& setup, std::int64_t samples) {
  const bool computed = setup.computed != nullptr;
  std::vector<std::pair<nb::object, Kind>> nodes;
  nb::set inputs;
  for (nb::handle item : setup.nodes.attr("items")()) {
    nodes.emplace_back(nb::borrow(item[0]), kind_of(setup.kinds, item[1]));
    if (nodes.back().second == Kind::input) inputs.add(item[0]);
  }
  const nb::set spiking = spiking_nodes(setup, nodes, inputs);
  // per Input, the nodes holding spikes where it does not
  std::vector<std::pair<nb::object, nb::set>> without;
  for (nb::handle input : inputs) {
    nb::set others = nb::borrow<nb::set>(PySet_New(inputs.ptr()));
    others.discard(input);
    without.emplace_back(nb::borrow(input), spiking_nodes(setup, nodes, others));
  }
  ActivityCounts counts;
  counts.samples = samples;
  for (const auto& [name, kind] : nodes) {
    if (!multiplies_by_weights(kind, computed)) continue;
    auto reached = fan_out(setup, name, getitem(setup.nodes, name));
    if (!reached) continue;
    ActivityCounts::Layer layer;
    layer.name = name;
    layer.spike_fed = fed_by(setup, name, spiking);
    for (const auto& [input, others] : without)
      if (layer.spike_fed && !fed_by(setup, name, others))
        layer.stimuli.push_back(counts.check_of(input));
    layer.fan_out = std::move(*reached);
    // an Affine's inputs each reach all of its rows
    if ((!setup.computed || !setup.computed->find(name)->layer) && !layer.fan_out.empty())
      layer.each = layer.fan_out.front();
    for (const std::int64_t f : layer.fan_out) layer.dense += f;
    layer.steps.assign(static_cast<std::size_t>(samples), 0);
    layer.synapses.assign(static_cast<std::size_t>(samples), 0);
    counts.layers.push_back(std::move(layer));
  }
  return counts;
}

std::size_t ActivityCounts::check_of(nb::handle input) {
  for (std::size_t i = 0; i < checks.size(); ++i)
    if (checks[i].input.equal(input)) return i;
  const Numpy& np = Numpy::get();
  Check check;
  check.input = nb::borrow(input);
  check.other = np.zeros(samples, "dtype"_a = np.module.attr("uint8"));
  check.out = static_cast<std::uint8_t*>(ArrayData(check.other, true).data());
  checks.push_back(std::move(check));
  return checks.size() - 1;
}

void ActivityCounts::count(nb::handle name, const nb::object& inp, std::int64_t sample) {
  for (Layer& layer : layers) {
    if (!layer.name.equal(name)) continue;
    const Numpy& np = Numpy::get();
    nb::object values = np.ascontiguousarray(inp, "dtype"_a = np.float64);
    const ArrayData data(values);
    const std::int64_t n = data.bytes() / static_cast<std::int64_t>(sizeof(double));
    if (n != static_cast<std::int64_t>(layer.fan_out.size())) return;
    ++layer.steps[sample];
    if (layer.spike_fed)
      layer.synapses[sample] += engine::reached_synapses(static_cast<const double*>(data.data()), n,
                                                         layer.each, layer.fan_out.data());
    return;
  }
}

void ActivityCounts::check(nb::handle input, nb::handle value, std::int64_t sample) const {
  for (const Check& c : checks) {
    if (!c.input.equal(input) || c.out[sample]) continue;
    const Numpy& np = Numpy::get();
    nb::object values = np.ascontiguousarray(value, "dtype"_a = np.float64);
    const ArrayData data(values);
    c.out[sample] = !engine::only_spikes(static_cast<const double*>(data.data()),
                                         data.bytes() / static_cast<std::int64_t>(sizeof(double)));
  }
}

void ActivityCounts::attach(NativeRun& run) const {
  engine::Plan& plan = run.plan;
  plan.activity.clear();
  const auto batch = static_cast<std::size_t>(plan.batch);
  for (const Layer& layer : layers)
    for (std::size_t i = 0; i < run.timed_names.size(); ++i) {
      if (!run.timed_names[i].equal(layer.name)) continue;
      engine::ActivityCount count;
      count.node = static_cast<int>(i);
      count.spike_fed = layer.spike_fed;
      count.inputs = static_cast<std::int64_t>(layer.fan_out.size());
      count.each = layer.each;
      count.fan_out = layer.fan_out.data();
      count.steps.assign(batch, 0);
      count.synapses.assign(batch, 0);
      for (const std::size_t c : layer.stimuli) count.stimuli.push_back(checks[c].out);
      if (layer.spike_fed && layer.each && layer.stimuli.empty()) {
        count.counter = lif_computed_before(plan, count.node);
        if (count.counter >= 0)
          for (std::int64_t b = 0; b < plan.batch; ++b)
            count.first_totals.push_back(plan.spike_totals[b * plan.counters() + count.counter]);
      }
      plan.activity.push_back(std::move(count));
    }
  plan.spike_checks.clear();
  for (const Check& c : checks) {
    const int slot = activation_slot(run, c.input);
    if (slot >= 0 && !products_take_for_spikes(plan, slot))
      plan.spike_checks.push_back({slot, c.out});
  }
}

void ActivityCounts::add_native(const NativeRun& run, const std::vector<bool>& replayed) {
  const engine::Plan& plan = run.plan;
  for (const engine::ActivityCount& count : plan.activity) {
    Layer& layer = *std::find_if(layers.begin(), layers.end(), [&](const Layer& l) {
      return run.timed_names[count.node].equal(l.name);
    });
    for (std::int64_t b = 0; b < plan.batch; ++b) {
      if (!replayed.empty() && replayed[b]) continue;
      const std::int64_t sample = plan.sample_rows[b];
      layer.steps[sample] += count.steps[b];
      layer.synapses[sample] += engine::synapses_reached(plan, count, b);
    }
  }
}

nb::dict ActivityCounts::layer_counts() const {
  const Numpy& np = Numpy::get();
  const auto per_sample = [&](const auto& value_of) {
    nb::object counts = np.empty(samples, "dtype"_a = np.module.attr("int64"));
    auto* out = static_cast<std::int64_t*>(ArrayData(counts, true).data());
    for (std::int64_t sample = 0; sample < samples; ++sample) out[sample] = value_of(sample);
    return counts;
  };
  nb::dict out;
  for (const Layer& layer : layers) {
    bool spikes = layer.spike_fed;
    for (const std::size_t c : layer.stimuli)
      spikes = spikes && std::none_of(checks[c].out, checks[c].out + samples,
                                      [](std::uint8_t other) { return other != 0; });
    const auto dense = [&] {
      return per_sample([&](auto b) { return layer.steps[b] * layer.dense; });
    };
    nb::object alternative = spikes && !layer.stimuli.empty() ? dense() : nb::none();
    nb::object counts = spikes ? per_sample([&](auto b) { return layer.synapses[b]; }) : dense();
    out[layer.name] = nb::make_tuple(spikes, counts, alternative);
  }
  return out;
}

}  // namespace zelka::host::simulation
