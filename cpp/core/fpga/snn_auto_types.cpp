#include "core/fpga/snn_auto_types.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/errors.hpp"
#include "core/fpga/snn_fixed_types.hpp"

namespace zelka::fpga::snn {
namespace {

constexpr int headroom_bits = 1;

// More bits than any constant type has: what a range without a finite bound asks for, so that
// signed_type refuses it.
constexpr int too_many_bits = widest_constant_type + 1;

// Integer bits of a signed type holding twice `largest`: the sign, the bits of the range and
// the headroom.
int integer_bits(double largest) {
  if (!std::isfinite(largest)) return too_many_bits;
  const int range = largest > 0.0 ? static_cast<int>(std::floor(std::log2(largest))) + 2 : 1;
  return std::max(range, 1) + headroom_bits;
}

// The fewest fractional bits F (at least 0) for which `error_units` * 2^-F stays within
// `budget`.
int fractional_bits(double error_units, double budget) {
  if (error_units <= 0.0) return 0;
  const double bits = std::ceil(std::log2(error_units / budget));
  return std::isfinite(bits) ? std::max(0, static_cast<int>(std::min<double>(bits, too_many_bits)))
                             : too_many_bits;
}

// The sum of |decay|^k over `steps` steps: how much an error made every step adds up to as the
// leak carries it.
double carried_over(double decay, std::size_t steps) {
  const double d = std::abs(decay);
  if (d == 1.0) return static_cast<double>(steps);
  return (1.0 - std::pow(d, static_cast<double>(steps))) / (1.0 - d);
}

// A signed type of `integer` and `fractional` bits; `what` names it for the message when it is
// wider than constants can be written with ("Affine node 'fc': the weight type").
FixedType signed_type(int integer, int fractional, const std::string& what,
                      std::string modes = "") {
  const FixedType type{true, integer + fractional, integer, std::move(modes), false};
  if (type.width > widest_constant_type)
    throw ValueError("precision='auto' would make " + what + " " + type.name() +
                     ", wider than the " + std::to_string(widest_constant_type) +
                     " bits constants are written with; give that type or a fixed precision");
  return type;
}

// Whether node `i` reads, directly or through pass-through nodes, a node of `kind`.
bool reads_kind(const Network& net, const Plan& plan, std::size_t i, NodeKind kind,
                std::vector<bool>& visited) {
  for (const Read& read : plan.nodes[i].reads) {
    const Node& source = net.nodes[read.node];
    if (source.kind == kind) return true;
    if (source.kind == NodeKind::pass_through && !visited[read.node]) {
      visited[read.node] = true;
      if (reads_kind(net, plan, read.node, kind, visited)) return true;
    }
  }
  return false;
}

// The dense nodes whose values node `i` sums, directly or through pass-through nodes.
void dense_sources(const Network& net, const Plan& plan, std::size_t i, std::vector<bool>& visited,
                   std::vector<std::size_t>& out) {
  for (const Read& read : plan.nodes[i].reads) {
    if (visited[read.node]) continue;
    visited[read.node] = true;
    if (net.nodes[read.node].kind == NodeKind::dense) out.push_back(read.node);
    if (net.nodes[read.node].kind == NodeKind::pass_through)
      dense_sources(net, plan, read.node, visited, out);
  }
}

double largest_magnitude(const std::vector<double>& values) {
  double largest = 0.0;
  for (double v : values) largest = std::max(largest, std::abs(v));
  return largest;
}

// The largest sum of the magnitudes of a weight row: how much input rounding can move an output.
double largest_row_sum(const Node& node) {
  double largest = 0.0;
  for (std::size_t o = 0; o < node.n_out; ++o) {
    double sum = 0.0;
    for (std::size_t i = 0; i < node.n_in; ++i) sum += std::abs(node.weight[o * node.n_in + i]);
    largest = std::max(largest, sum);
  }
  return largest;
}

}  // namespace

ChosenTypes choose_types(const Network& net, const Plan& plan,
                         const std::vector<ObservedRange>& observed, std::size_t steps,
                         const TypeChoice& given) {
  const std::size_t n = net.nodes.size();
  double threshold = std::numeric_limits<double>::infinity(), carried = 1.0, membrane = 0.0,
         distance_to_rest = 0.0;
  std::size_t summed_layers = 1;
  for (std::size_t i = 0; i < n; ++i) {
    const Node& node = net.nodes[i];
    if (node.kind != NodeKind::lif) continue;
    membrane = std::max({membrane, observed[i].largest, largest_magnitude(node.threshold),
                         largest_magnitude(node.rest)});
    distance_to_rest =
        std::max(distance_to_rest, observed[i].largest + largest_magnitude(node.rest));
    for (std::size_t k = 0; k < node.neurons; ++k) {
      if (node.threshold[k] != 0.0) threshold = std::min(threshold, std::abs(node.threshold[k]));
      carried = std::max(carried, carried_over(node.decay[k], std::max<std::size_t>(steps, 1)));
    }
    std::vector<bool> visited(n, false);
    std::vector<std::size_t> sources;
    dense_sources(net, plan, i, visited, sources);
    summed_layers = std::max(summed_layers, sources.size());
  }
  // What decides a spike is the membrane's side of its threshold: errors are measured against
  // the smallest threshold magnitude, or, where every threshold is 0, against the largest
  // magnitude the membranes reach (1 when they stay at 0).
  const double scale = std::isfinite(threshold) ? threshold : membrane > 0.0 ? membrane : 1.0;
  // The error one source may add to a membrane per step.
  const double budget = scale * std::ldexp(1.0, -error_fraction_bits) / carried;

  ChosenTypes chosen;
  chosen.dense.resize(n);
  double largest_input = 0.0, input_row_sum = 0.0;
  bool fractional_inputs = false;
  int widest_output_fraction = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Node& node = net.nodes[i];
    if (node.kind == NodeKind::input) {
      largest_input =
          std::max({largest_input, observed[i].largest, largest_magnitude(node.stimulus)});
      fractional_inputs = fractional_inputs || observed[i].fractional_inputs ||
                          std::any_of(node.stimulus.begin(), node.stimulus.end(),
                                      [](double x) { return x != std::nearbyint(x); });
    }
    std::vector<bool> visited(n, false);
    if (node.kind == NodeKind::lif && reads_kind(net, plan, i, NodeKind::input, visited))
      input_row_sum = std::max(input_row_sum, 1.0);  // the inputs added as they are
    if (node.kind != NodeKind::dense) continue;
    const ObservedRange& range = observed[i];
    visited.assign(n, false);
    if (reads_kind(net, plan, i, NodeKind::input, visited))
      input_row_sum = std::max(input_row_sum, largest_row_sum(node));
    // weights and bias rounded to nearest (half a unit each), products truncated (a unit each)
    const double units =
        (range.largest_input_sum + 1.0) / 2.0 +
        (range.fractional_inputs ? static_cast<double>(range.most_nonzero_inputs) : 0.0);
    const int f = fractional_bits(units * static_cast<double>(summed_layers), budget);
    const DenseTypes& fixed = given.dense[i];
    DenseTypes& types = chosen.dense[i];
    const std::string owner = node.label + "'s ";
    types.weight = fixed.weight ? *fixed.weight
                                : signed_type(integer_bits(largest_magnitude(node.weight)), f,
                                              owner + "weight_t");
    types.bias = fixed.bias
                     ? *fixed.bias
                     : signed_type(integer_bits(largest_magnitude(node.bias)), f, owner + "bias_t");
    types.accum = fixed.accum
                      ? *fixed.accum
                      : signed_type(integer_bits(range.largest_partial_sum), f, owner + "accum_t");
    types.result = fixed.result ? *fixed.result
                                : signed_type(integer_bits(range.largest), f, owner + "result_t",
                                              "AP_TRN,AP_SAT");
    widest_output_fraction = std::max(widest_output_fraction, types.result->fractional_bits());
  }
  chosen.input =
      given.input
          ? *given.input
          : signed_type(integer_bits(largest_input),
                        fractional_inputs
                            ? fractional_bits(
                                  input_row_sum / 2.0 * static_cast<double>(summed_layers), budget)
                            : 0,
                        "the input type");
  widest_output_fraction = std::max(widest_output_fraction, chosen.input.fractional_bits());
  chosen.membrane =
      given.membrane
          ? *given.membrane
          : signed_type(integer_bits(membrane),
                        std::max(widest_output_fraction,
                                 fractional_bits((1.0 + distance_to_rest) / 2.0, budget)),
                        "the membrane type", "AP_RND_CONV,AP_SAT");
  return chosen;
}

}  // namespace zelka::fpga::snn
