// A spiking network as the SNN HLS project builds it, and the plan of its one-step function.
//
// The network holds the nodes of a graph in execution order with their constants already in
// plain numbers.  planning decides what the generated code does each step, following the CPU
// simulator's rules: every node is evaluated in execution order; a node reads the sum of
// its predecessors' values (equal shapes only); a predecessor that comes later in the order
// (or the node itself) delivers the value of the previous step; a predecessor that has no
// value yet is left out of the sum, and a node none of whose predecessors has a value is
// not evaluated (and so has none itself).  Which nodes have a value depends only on the
// number of steps since the membranes were last reset, never on the data, so the plan states
// it as the first step at which each node is evaluated.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "core/fpga/snn_fixed_types.hpp"
#include "core/rules/lif_rule.hpp"

namespace zelka::fpga::snn {

enum class NodeKind { input, dense, lif, pass_through, output };

using Shape = std::vector<std::size_t>;

struct Node {
  std::string name;        // the graph's node name, for comments
  std::string label;       // how messages name the node: "Affine node 'fc1'"
  std::string class_name;  // the IR class, for comments: "Affine"
  NodeKind kind = NodeKind::pass_through;
  std::vector<std::size_t> predecessors;  // positions in the network, in edge order
  int config_index = 0;                   // parameters.h's configN; 0 for Input and Output

  // Input: the stimulus, row-major: one set of values applied at every step
  // (stimulus_steps = 0), or a set for each of stimulus_steps steps, (steps, *stimulus_shape).
  Shape stimulus_shape;
  std::vector<double> stimulus;
  std::size_t stimulus_steps = 0;

  // Dense: weight[o * n_in + i] (outputs by inputs, as stored), bias per output.
  std::size_t n_in = 0, n_out = 0;
  std::vector<double> weight, bias;
  FixedType weight_type, bias_type, accum_type, result_type;

  // LIF: one value per neuron of each.
  std::size_t neurons = 0;
  std::vector<double> decay, threshold, rest;
  rules::LifReset reset = rules::LifReset::to_leak;
  rules::LifFire fire = rules::LifFire::at_or_above;

  unsigned reuse_factor = 1;  // dense and LIF
};

enum class Strategy { latency, resource };

struct Network {
  std::vector<Node> nodes;  // in execution order
  FixedType input_type;     // of every Input's values
  FixedType membrane_type;
  Strategy strategy = Strategy::latency;
};

inline constexpr int never = std::numeric_limits<int>::max();

// How a node reads one predecessor.
struct Read {
  std::size_t node;
  bool previous_step;  // the predecessor comes later in the order, or is the node itself
  int from_step;       // the first step (1 after a reset) at which the read has a value
};

// What the generated code does for one node.
struct NodePlan {
  int first_step = never;   // the first step after a reset at which it is evaluated
  Shape shape;              // of its value
  std::vector<Read> reads;  // the predecessors it sums (dense, LIF, pass-through) or copies
                            // (Output: the first only); reads that never have a value are left out
  bool read_by_later_step = false;  // some node reads its value of the previous step
  FixedType value_type;             // of its value
  FixedType sum_type;               // of the sum of its reads, when it has several
};

struct Plan {
  std::vector<NodePlan> nodes;
  // The highest first step any node or read waits for (1 when every node is evaluated from
  // the first step on and nothing is read from a previous step): the count of steps since a
  // reset the code keeps, saturated at this value.
  int steps_to_settle = 1;
};

// An Input's stimulus for `steps` steps, a set of values after the other: the first `steps` of
// its sets, or its one set repeated (its stimulus must hold at least `steps` sets).
std::vector<double> stimulus_of_steps(const Node& input, std::size_t steps);

// The plan, or zelka::ValueError naming the node when a shape or size cannot be built: sums
// of different shapes, a dense layer whose input length is not its weight's input count, a
// LIF layer fed by more than one dimension, an empty array, a resource-strategy reuse
// factor hls4ml's kernels cannot run.
Plan plan_network(const Network& network);

}  // namespace zelka::fpga::snn
