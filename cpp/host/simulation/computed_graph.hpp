// A graph whose layers are computed (Graph(layers="computed")), read for one call: every
// node's input and output shape followed from the stimuli, the layers with a kernel of their
// own read into the engine's form, and everything such a graph cannot compute exactly.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/engine/layer.hpp"
#include "host/ir_kinds.hpp"

namespace zelka::host::simulation {

using Shape = std::vector<std::int64_t>;

struct ComputedNode {
  Kind kind;
  Shape input, output;
  std::optional<engine::Layer> layer;  // the kinds computed by a kernel of core/engine
};

// Something a computed graph cannot compute, with the node it is about.
struct LayerProblem {
  nb::object node;
  std::string text;
};

struct ComputedGraph {
  nb::dict positions;  // node name -> index into nodes, for the nodes whose input is known
  std::vector<ComputedNode> nodes;
  std::vector<LayerProblem> problems;

  const ComputedNode* find(nb::handle name) const;
};

// Whether the graph's `layers` is "computed"; a graph without the attribute passes its layers
// through.  ValueError for any other value than the two.
bool computes_layers(nb::handle graph);

// Follows the Inputs' shapes (`input_shapes`: Input name -> shape, a missing name unknown)
// through the graph, back edges included, as a computed graph's steps do; reads the layers
// whose input shape is known and lists what cannot be computed: kinds with no computation,
// inputs that do not fit, settings PyTorch's layer does not have.
ComputedGraph read_computed_graph(nb::handle graph, const IrKinds& kinds,
                                  const nb::dict& input_shapes);

// The ValueError text listing `problems`.
std::string refusal_text(const std::vector<LayerProblem>& problems);

// The Inputs' shapes a call's stimuli give, for read_computed_graph: each stimulus's shape
// past its `leading` axes (samples, steps); an Input without a stimulus has shape (1,) when
// `fill_missing` (it is fed one zero), else none.
nb::dict stimulus_shapes(nb::handle graph, const IrKinds& kinds, nb::handle stimuli,
                         std::size_t leading, bool fill_missing);

// The shapes the Inputs declare (input_type), where they declare one.
nb::dict declared_shapes(nb::handle graph, const IrKinds& kinds);

}  // namespace zelka::host::simulation
