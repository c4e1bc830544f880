#include "host/simulation/activity_counts.hpp"

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

// Every value of the array is 0 or 1.
bool holds_spikes(nb::handle array) {
  const Numpy& np = Numpy::get();
  nb::object values = np.asarray(array);
  nb::object zero_or_one = np.module.attr("logical_or")(np.module.attr("equal")(values, 0),
                                                        np.module.attr("equal")(values, 1));
  return truth(np.module.attr("all")(zero_or_one));
}

// The nodes whose values are spikes or sums of them, by name: LIF nodes, Inputs whose
// stimulus holds only zeros and ones (or that have none, and are fed zeros), and nodes that
// pass on the values of predecessors that all hold such values (the largest such set, so
// that a node passing its own value back to itself keeps it).
nb::set spiking_nodes(const RunSetup& setup, const std::vector<std::pair<nb::object, Kind>>& nodes,
                      const nb::dict& stimuli) {
  const bool computed = setup.computed != nullptr;
  nb::set spiking, sources;
  for (const auto& [name, kind] : nodes) {
    const bool spike_input =
        kind == Kind::input && (!stimuli.contains(name) || holds_spikes(stimuli[name]));
    if (kind == Kind::lif || spike_input) sources.add(name);
    if (kind == Kind::lif || spike_input || passes_spikes_on(kind, computed)) spiking.add(name);
  }
  for (bool changed = true; changed;) {
    changed = false;
    for (const auto& [name, kind] : nodes) {
      if (sources.contains(name) || !spiking.contains(name)) continue;
      nb::object preds = getitem(setup.predecessors, name);
      bool all = truth(preds);
      for (nb::handle p : preds) all = all && spiking.contains(p);
      if (!all) {
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

}  // namespace

ActivityCounts plan_activity(const RunSetup& setup, const nb::dict& stimuli, std::int64_t steps,
                             std::int64_t samples) {
  const Numpy& np = Numpy::get();
  const bool computed = setup.computed != nullptr;
  std::vector<std::pair<nb::object, Kind>> nodes;
  for (nb::handle item : setup.nodes.attr("items")())
    nodes.emplace_back(nb::borrow(item[0]), kind_of(setup.kinds, item[1]));
  const nb::set spiking = spiking_nodes(setup, nodes, stimuli);
  ActivityCounts counts;
  counts.steps = steps;
  counts.samples = samples;
  for (const auto& [name, kind] : nodes) {
    if (!multiplies_by_weights(kind, computed)) continue;
    auto reached = fan_out(setup, name, getitem(setup.nodes, name));
    if (!reached) continue;
    ActivityCounts::Layer layer;
    layer.name = name;
    nb::object preds = getitem(setup.predecessors, name);
    layer.spike_fed = truth(preds);
    for (nb::handle p : preds) layer.spike_fed = layer.spike_fed && spiking.contains(p);
    layer.fan_out = std::move(*reached);
    for (const std::int64_t f : layer.fan_out) layer.dense += f;
    layer.counts = np.zeros(nb::make_tuple(steps, samples), "dtype"_a = np.module.attr("int64"));
    layer.out = static_cast<std::int64_t*>(ArrayData(layer.counts, true).data());
    counts.layers.push_back(std::move(layer));
  }
  return counts;
}

void ActivityCounts::count(nb::handle name, const nb::object& inp, std::int64_t step,
                           std::int64_t sample) const {
  if (step >= steps) return;
  for (const Layer& layer : layers) {
    if (!layer.name.equal(name)) continue;
    const Numpy& np = Numpy::get();
    nb::object nonzero = np.ascontiguousarray(np.module.attr("not_equal")(inp, 0),
                                              "dtype"_a = np.module.attr("uint8"));
    const ArrayData data(nonzero);
    if (data.bytes() != static_cast<std::int64_t>(layer.fan_out.size())) return;
    layer.out[step * samples + sample] =
        layer.spike_fed ? engine::reached_synapses(static_cast<const std::uint8_t*>(data.data()),
                                                   layer.fan_out.data(), data.bytes())
                        : layer.dense;
    return;
  }
}

void ActivityCounts::attach(NativeRun& run) const {
  run.plan.activity.clear();
  for (const Layer& layer : layers)
    for (std::size_t i = 0; i < run.timed_names.size(); ++i)
      if (run.timed_names[i].equal(layer.name))
        run.plan.activity.push_back(
            {static_cast<int>(i), layer.spike_fed ? layer.fan_out.data() : nullptr,
             static_cast<std::int64_t>(layer.fan_out.size()), layer.dense, layer.out});
}

nb::dict ActivityCounts::layer_counts() const {
  nb::dict out;
  for (const Layer& layer : layers) out[layer.name] = nb::make_tuple(layer.spike_fed, layer.counts);
  return out;
}

}  // namespace zelka::host::simulation
