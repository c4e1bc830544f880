// A graph as the SNN HLS project builds it: its nodes read into the network model of the
// core, and the spikes the CPU simulator gives for it, which the test bench compares with.
#pragma once

#include <cstdint>

#include "core/fpga/snn_network.hpp"
#include "core/fpga/snn_testbench.hpp"
#include "host/python.hpp"

namespace zelka::host::fpga {

struct NetworkSettings {
  zelka::fpga::FixedType precision;  // the model precision: inputs, and the default of
                                     // weight_t, bias_t and result_t
  zelka::fpga::FixedType membrane;
  zelka::fpga::snn::Strategy strategy;
  unsigned reuse_factor;  // for nodes without a reuse_factor of their own
  const char* writer;     // the function reading the graph, as its refusals name it
};

// The network of `graph` in execution order with `input_data` (an Input -> array dict, a
// PerStep of Input -> (steps, *shape) arrays for a stimulus that changes every step, or None for
// the zero stimulus simulate uses) as its stimulus.  ValueError or TypeError naming
// the node for a kind the project does not build (the kinds core/ir/node_kinds.hpp marks
// snn_project), an edge from no node, arrays that are not numbers, hold NaN
// or infinity or have shapes the simulator would not step, and types that are not
// fixed-point type names.
zelka::fpga::snn::Network read_network(nb::handle graph, nb::handle input_data,
                                       const NetworkSettings& settings);

// The graph as the CPU simulator runs it for the project: SpikingAffine nodes, which simulate
// passes through unchanged, replaced by the Affine nodes of the same weight and bias (the graph
// itself when it has none).
nb::object simulated_graph(nb::handle graph);

// The CPU backend's simulate_batch of simulated_graph(graph) on `samples` (as simulate_batch
// takes them) for `steps` steps, keeping the spike trains and membranes `record` names.  A
// sample the simulator fails on is a ValueError naming it and `argument`, the samples' source.
nb::object simulated_batch(nb::handle graph, nb::handle samples, std::int64_t steps,
                           nb::handle record, const char* argument);

// The steps the CPU backend's simulate runs for `n_steps` (a graph whose cyclic_config holds
// "max_iterations" runs that many when n_steps is 1).
std::int64_t simulated_steps(nb::handle graph, std::int64_t n_steps);

struct SimulatedSpikes {
  zelka::fpga::snn::ReferenceSpikes spikes;  // per LIF node of the network
  std::size_t steps = 0;
  nb::dict counts;  // LIF node name -> spikes over all steps
};

// The spikes of every LIF node at each step of the CPU backend's simulate(graph, input_data,
// n_steps): the same steps, keeping one byte per neuron and step instead of snapshots of
// every node, and interrupted by Ctrl-C.  SpikingAffine nodes, which simulate passes through
// unchanged, are simulated as the Affine nodes of the same weight and bias that the project
// builds.  A failed simulation is a ValueError with its error.
SimulatedSpikes simulate_spikes(nb::handle graph, const zelka::fpga::snn::Network& network,
                                nb::handle input_data, std::int64_t n_steps);

}  // namespace zelka::host::fpga
