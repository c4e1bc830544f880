// What the profiler's counting rules read off a graph's nodes, read in the order the rules
// read it (so that a node whose attributes cannot be read fails where the rule reads it).
#pragma once

#include <vector>

#include "core/profiler/accounting.hpp"
#include "host/ir_kinds.hpp"

namespace zelka::host::profiler {

namespace acc = zelka::profiler;

// Kinds the counting rules and the profile's steps test against.
IrKinds load_profile_kinds();

// Every array a node other than Input and Output holds: its declared fields, or for a node
// without a declared field list the weight-like and state attribute names.
std::vector<acc::HeldArray> held_arrays(nb::handle graph, const IrKinds& kinds);

// Each node's rule of the MAC count.
std::vector<acc::MacNode> mac_nodes(nb::handle graph, const IrKinds& kinds);

// The neuron count (first dimension of v_threshold) of every LIF node.
std::vector<std::int64_t> lif_neurons(nb::handle graph, const IrKinds& kinds);

// The nodes other than Input and Output with what the per-layer and per-core figures need,
// their names, and the distinct core ids the nodes' `core_id` attributes give (as ints),
// indexed by LayerNode::core.
struct Layers {
  std::vector<acc::LayerNode> nodes;
  std::vector<nb::object> names;
  std::vector<nb::object> core_ids;
};
Layers layers(nb::handle graph, const IrKinds& kinds, nb::handle per_node_latency,
              nb::handle spike_counts);

}  // namespace zelka::host::profiler
