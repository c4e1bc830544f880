// What one simulate/profile call works with: the graph's parts bound at call time, the
// stimulus, and the state kept from step to step.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/ir_kinds.hpp"
#include "host/simulation/computed_graph.hpp"

namespace zelka::host::simulation {

// The IR node classes the step rules test against, bound when an operation is called.
IrKinds load_step_kinds();

// A stimulus that changes every step: `array` holds (steps, samples, *shape), C-ordered.
struct StepStimulus {
  nb::object key;
  nb::object array;
};

struct RunSetup {
  IrKinds kinds;            // Input, Output, Affine, LIF
  nb::object nodes;         // graph.nodes
  nb::object exec_order;    // from build_execution_context
  nb::object predecessors;  // from build_execution_context
  nb::dict input_data;      // stimuli applied unchanged at every step
  // Stimuli given per step (batches only): at step t, key holds array[t, sample].
  std::vector<StepStimulus> step_inputs;
  // Stimuli given per sample (batches planned from their first step, which make no
  // per-sample input_data): key holds array[sample] at every step.
  std::vector<StepStimulus> sample_inputs;
  std::int64_t sample = 0;
  nb::object saturate;
  nb::object precision;
  // The package's own saturate is in use: numpy steps may compute matrix-vector products
  // with the engine's kernels too (equal to numpy's to rounding), which keeps numpy's
  // BLAS threads asleep.
  bool native_products = false;
  // The graph's layers as computed, for a graph whose layers are computed; null where they
  // pass through.
  std::shared_ptr<const ComputedGraph> computed;
  // The threads the call may use: the planner's scans of long stimuli share them too.
  std::int64_t workers = 1;
};

// State that persists across steps: latest value per node, membrane potentials, spike totals.
struct WorkingState {
  nb::dict activations;
  nb::dict membrane_state;
  nb::dict spike_counts;
};

class NodeTimes;
struct ActivityCounts;

// How simulate and profile differ inside a step.
struct StepPolicy {
  // An Input without a value gets a float32 zero vector of length 1 (simulate); profile
  // leaves it without one.
  bool fill_missing_inputs = true;
  // When set (profile): every computed node's compute time, gathering its input excluded.
  NodeTimes* node_times = nullptr;
  // When set (profile): the largest total byte size of the activation arrays at the end of
  // a step.
  std::int64_t* peak_activation_bytes = nullptr;
  // When set: the counted layers' operations, added to step by step (activity_counts.hpp).
  ActivityCounts* activity = nullptr;
};

// Float32 zero inputs for the graph's Input nodes from their declared shapes.
nb::dict synthetic_inputs(nb::handle graph, const IrKinds& kinds);

// The set-up every run starts from (simulate, simulate_batch, profile): the node classes
// `kinds`, the graph utilities' saturate (bound now) and the precision the steps saturate
// to, the target_precision of a CompileConfig made with no arguments.  `compile_config` is
// that class as bound when the simulator's module loaded, or None for the profiler, which
// binds it from the framework now, after saturate.
RunSetup make_run_setup(IrKinds kinds, nb::handle compile_config);

// The graph's nodes, execution order and predecessors.
void bind_execution_context(RunSetup& setup, nb::handle graph);

// The stimulus (`input_data`, or float32 zeros of the Inputs' declared shapes when it is
// None), then the graph's nodes, execution order and predecessors.
void bind_graph(RunSetup& setup, nb::handle graph, nb::handle input_data);

// Where a call's Inputs take their shapes from: the arguments of stimulus_shapes.
struct StimulusShapes {
  nb::handle stimuli;
  std::size_t leading;
  bool fill_missing;
};

// For a graph whose layers are computed: reads them for the Inputs' shapes in `shapes`
// into setup.computed, or raises a ValueError listing what cannot be computed.  Nothing for
// a pass-through graph, whose stimuli's shapes are not read here.
void bind_computed_layers(RunSetup& setup, nb::handle graph, const StimulusShapes& shapes);

// Membrane vectors (float32 zeros) for every LIF node; raises TypeError for a threshold
// that is not an array.
void init_membranes(nb::handle graph, const IrKinds& kinds, WorkingState& state);

}  // namespace zelka::host::simulation
