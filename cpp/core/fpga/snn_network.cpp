#include "core/fpga/snn_network.hpp"

#include <algorithm>
#include <functional>
#include <numeric>

#include "core/errors.hpp"

namespace zelka::fpga::snn {
namespace {

std::size_t element_count(const Shape& shape) {
  return std::accumulate(shape.begin(), shape.end(), std::size_t{1}, std::multiplies<>());
}

std::string shape_text(const Shape& shape) {
  std::string out = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) out += (i ? ", " : "") + std::to_string(shape[i]);
  return out + (shape.size() == 1 ? ",)" : ")");
}

[[noreturn]] void fail(const Node& node, const std::string& what) {
  throw ValueError(node.label + ": " + what);
}

// The predecessors a node reads: Output nodes report their first predecessor only.
std::vector<std::size_t> sources(const Node& node) {
  if (node.kind != NodeKind::output || node.predecessors.empty()) return node.predecessors;
  return {node.predecessors.front()};
}

// The first step after a reset at which the value of `source` reaches node `reader`.
int from_step(const std::vector<int>& first, std::size_t source, std::size_t reader) {
  if (first[source] == never) return never;
  return source >= reader ? first[source] + 1 : first[source];
}

// First step of every node: inputs have a value from the first step on; any other node from
// the first step at which one of its reads has one.  Each step can only add nodes, so the
// steps settle once one adds none.
std::vector<int> first_steps(const Network& net) {
  const std::size_t n = net.nodes.size();
  std::vector<int> first(n, never);
  for (int step = 1;; ++step) {
    bool added = false;
    for (std::size_t i = 0; i < n; ++i) {
      if (first[i] != never) continue;
      const Node& node = net.nodes[i];
      bool has_value = node.kind == NodeKind::input;
      for (std::size_t p : sources(node)) has_value = has_value || from_step(first, p, i) <= step;
      if (has_value) {
        first[i] = step;
        added = true;
      }
    }
    if (!added) return first;
  }
}

const FixedType spike_type{false, 1, 1, "", true};

void check_reuse_factor(const Node& node, Strategy strategy) {
  if (node.reuse_factor < 1) fail(node, "reuse_factor must be at least 1");
  if (node.kind != NodeKind::dense || strategy != Strategy::resource) return;
  // hls4ml's resource kernels compute correctly only for these reuse factors.
  const auto fits = [&](std::size_t rf) {
    const std::size_t n_in = node.n_in, n_out = node.n_out;
    const std::size_t multipliers = (n_in * n_out + std::min(n_in, rf) - 1) / std::min(n_in, rf);
    return (multipliers % n_out == 0 || rf >= n_in) && (rf % n_in == 0 || rf < n_in) &&
           (n_in * n_out) % rf == 0;
  };
  if (fits(node.reuse_factor)) return;
  std::vector<std::size_t> valid;
  for (std::size_t rf = 1; rf <= node.n_in * node.n_out; ++rf)
    if (fits(rf)) valid.push_back(rf);
  const auto above = std::upper_bound(valid.begin(), valid.end(), node.reuse_factor);
  std::string nearest = above == valid.begin() ? "" : std::to_string(*(above - 1));
  if (above != valid.end()) nearest += (nearest.empty() ? "" : " or ") + std::to_string(*above);
  fail(node, "reuse factor " + std::to_string(node.reuse_factor) +
                 " does not fit hls4ml's resource kernels for " + std::to_string(node.n_in) +
                 " inputs and " + std::to_string(node.n_out) +
                 " outputs (the nearest that do: " + nearest + ")");
}

// Shapes and value types of the nodes whose value exists.  Pass-through nodes take theirs
// from what they read, which may come later in the order; repeating the walk settles them
// unless pass-through nodes feed each other in a loop with sums, whose type would grow
// every step.
void settle_values(const Network& net, Plan& plan) {
  const std::size_t n = net.nodes.size();
  for (std::size_t i = 0; i < n; ++i) {
    const Node& node = net.nodes[i];
    NodePlan& p = plan.nodes[i];
    if (node.kind == NodeKind::input) {
      p.shape = node.stimulus_shape;
      p.value_type = net.input_type;
    } else if (node.kind == NodeKind::dense) {
      p.shape = {node.n_out};
      p.value_type = node.result_type;
    } else if (node.kind == NodeKind::lif) {
      p.shape = {node.neurons};
      p.value_type = spike_type;
    }
  }
  std::vector<bool> known(n, false);
  for (std::size_t i = 0; i < n; ++i)
    known[i] = net.nodes[i].kind != NodeKind::pass_through && net.nodes[i].kind != NodeKind::output;
  for (std::size_t round = 0; round <= n + 1; ++round) {
    bool changed = false;
    for (std::size_t i = 0; i < n; ++i) {
      const NodeKind kind = net.nodes[i].kind;
      if (kind != NodeKind::pass_through && kind != NodeKind::output) continue;
      NodePlan& p = plan.nodes[i];
      std::vector<FixedType> addends;
      for (const Read& r : p.reads) {
        if (!known[r.node]) continue;
        if (addends.empty()) p.shape = plan.nodes[r.node].shape;
        addends.push_back(plan.nodes[r.node].value_type);
      }
      if (addends.empty()) continue;
      const FixedType type = addends.size() == 1 ? addends.front() : sum_type(addends);
      if (!known[i] || type.name() != p.value_type.name()) changed = true;
      p.value_type = type;
      known[i] = true;
    }
    if (!changed) return;
  }
  for (std::size_t i = 0; i < n; ++i)
    if (net.nodes[i].kind == NodeKind::pass_through && plan.nodes[i].reads.size() > 1)
      fail(net.nodes[i],
           "its value is a sum that feeds back into itself through pass-through nodes only, so "
           "it grows without bound and no fixed-point type holds it");
}

// The shape of what a node reads: the common shape of its reads.
const Shape& input_shape(const Network& net, const Plan& plan, std::size_t i) {
  const NodePlan& p = plan.nodes[i];
  const Shape& shape = plan.nodes[p.reads.front().node].shape;
  for (const Read& r : p.reads)
    if (plan.nodes[r.node].shape != shape)
      fail(net.nodes[i], "its inputs have different shapes, " + shape_text(shape) + " from " +
                             net.nodes[p.reads.front().node].label + " and " +
                             shape_text(plan.nodes[r.node].shape) + " from " +
                             net.nodes[r.node].label +
                             "; the project sums inputs of one shape only");
  return shape;
}

// For an input of shape (steps, *shape) whose rows a dense layer would take: how a stimulus
// that changes every step is given.
std::string per_step_hint(const Shape& shape, std::size_t n_in) {
  if (shape.size() < 2 || element_count(Shape(shape.begin() + 1, shape.end())) != n_in) return "";
  return "; a stimulus for every step is given as a PerStep of (steps, *input_shape) arrays";
}

void check_sizes(const Network& net, const Plan& plan) {
  for (std::size_t i = 0; i < net.nodes.size(); ++i) {
    const Node& node = net.nodes[i];
    const NodePlan& p = plan.nodes[i];
    if (node.kind == NodeKind::input && element_count(node.stimulus_shape) == 0)
      fail(node, "its stimulus of shape " + shape_text(node.stimulus_shape) + " has no values");
    if (node.kind == NodeKind::dense && (node.n_in == 0 || node.n_out == 0))
      fail(node, "its weight of shape (" + std::to_string(node.n_out) + ", " +
                     std::to_string(node.n_in) + ") has no values");
    if (node.kind == NodeKind::lif && node.neurons == 0) fail(node, "it has no neurons");
    if (node.kind == NodeKind::output && node.predecessors.empty())
      fail(node, "it has no predecessor to report");
    if (node.kind == NodeKind::output && p.first_step == never)
      fail(node, "it reports " + net.nodes[node.predecessors.front()].label +
                     ", which never has a value");
    if (p.first_step == never || node.kind == NodeKind::input) continue;
    const Shape& shape = input_shape(net, plan, i);
    if (node.kind == NodeKind::dense && element_count(shape) != node.n_in)
      fail(node, "its input has " + std::to_string(element_count(shape)) +
                     " values and its weight takes " + std::to_string(node.n_in) +
                     " (the CPU simulator passes such an input through unchanged, which the "
                     "project does not build)" +
                     per_step_hint(shape, node.n_in));
    if (node.kind == NodeKind::lif && shape.size() != 1)
      fail(node, "its input has shape " + shape_text(shape) +
                     "; LIF layers take one value per neuron in one dimension");
  }
}

}  // namespace

std::vector<double> stimulus_of_steps(const Node& input, std::size_t steps) {
  const std::size_t size = element_count(input.stimulus_shape);
  if (input.stimulus_steps > 0)
    return {input.stimulus.begin(),
            input.stimulus.begin() + static_cast<std::ptrdiff_t>(steps * size)};
  std::vector<double> values;
  values.reserve(steps * size);
  for (std::size_t t = 0; t < steps; ++t)
    values.insert(values.end(), input.stimulus.begin(), input.stimulus.end());
  return values;
}

Plan plan_network(const Network& net) {
  const std::size_t n = net.nodes.size();
  Plan plan;
  plan.nodes.resize(n);
  const std::vector<int> first = first_steps(net);
  for (std::size_t i = 0; i < n; ++i) {
    const Node& node = net.nodes[i];
    NodePlan& p = plan.nodes[i];
    p.first_step = first[i];
    check_reuse_factor(node, net.strategy);
    if (node.kind == NodeKind::input) continue;
    for (std::size_t source : sources(node)) {
      const int from = from_step(first, source, i);
      if (from == never) continue;
      if (net.nodes[source].kind == NodeKind::output)
        fail(node, "it reads " + net.nodes[source].label +
                       "; the project's outputs are ports of its top function and feed no node");
      p.reads.push_back({source, source >= i, from});
      if (source >= i) plan.nodes[source].read_by_later_step = true;
      if (p.first_step != never) plan.steps_to_settle = std::max(plan.steps_to_settle, from);
    }
    if (p.first_step != never) plan.steps_to_settle = std::max(plan.steps_to_settle, p.first_step);
  }
  settle_values(net, plan);
  check_sizes(net, plan);
  for (std::size_t i = 0; i < n; ++i) {
    NodePlan& p = plan.nodes[i];
    if (net.nodes[i].kind == NodeKind::output || p.reads.size() < 2) continue;
    std::vector<FixedType> addends;
    for (const Read& r : p.reads) addends.push_back(plan.nodes[r.node].value_type);
    p.sum_type = sum_type(addends);
  }
  return plan;
}

}  // namespace zelka::fpga::snn
