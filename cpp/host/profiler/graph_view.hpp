// What the profiler's counting rules read off a graph's nodes.  The rules read the nodes
// phase by phase (the census, the MACs, the SRAM's LIF sizes, the per-layer figures), so
// that a node whose attributes cannot be read fails where the first rule to read it does.
// A GraphReading reads everything in one pass over the nodes, each attribute once, and
// falls back to the phases when that pass meets an error.
#pragma once

#include <optional>
#include <vector>

#include "core/profiler/accounting.hpp"
#include "host/ir_kinds.hpp"
#include "host/simulation/computed_graph.hpp"

namespace zelka::host::profiler {

namespace acc = zelka::profiler;

// Kinds the counting rules and the profile's steps test against.
IrKinds load_profile_kinds();

// The nodes other than Input and Output with what the per-layer and per-core figures need
// of the graph, their names, and the distinct core ids the nodes' `core_id` attributes give
// (as ints), indexed by LayerNode::core.
struct Layers {
  std::vector<acc::LayerNode> nodes;
  std::vector<nb::object> names;
  std::vector<nb::object> core_ids;
};

class GraphReading {
 public:
  // `computed`: a computed graph as read for the run's stimuli, whose nodes count what they
  // compute (a node that never computes counts nothing); null for a pass-through graph.
  GraphReading(nb::handle graph, const IrKinds& kinds,
               const simulation::ComputedGraph* computed = nullptr);

  // Every array a node other than Input and Output holds: its declared fields, or for a
  // node without a declared field list the weight-like and state attribute names.
  const std::vector<acc::HeldArray>& held_arrays();
  // Each node's rule of the MAC count.
  const std::vector<acc::MacNode>& mac_nodes();
  // The neuron count (first dimension of v_threshold) of every LIF node.
  const std::vector<std::int64_t>& lif_neurons();
  // The layers, with each node's measured latency and spike count from a run's maps (the
  // one pass's layers handed over on the first call, read again on any later one).
  Layers layers(nb::handle per_node_latency, nb::handle spike_counts);

 private:
  struct Read {
    std::vector<acc::HeldArray> held;
    std::vector<acc::MacNode> macs;
    std::vector<std::int64_t> lif_neurons;
    Layers layers;
  };
  // visit(view, name) for every node in the graph's order.
  template <typename Visit>
  void each_node(Visit visit);

  // A computed graph's MACs of the node in a step; nothing for a pass-through graph.
  std::optional<acc::Count> computed_macs(nb::handle name) const;

  nb::handle graph_;
  const IrKinds& kinds_;
  const simulation::ComputedGraph* computed_;
  std::optional<Read> read_;  // the one pass, when it met no error
  Read reread_;               // each part read on its own, when the one pass met an error
  bool layers_taken_ = false;
};

}  // namespace zelka::host::profiler
