#include "core/fpga/snn_ranges.hpp"

#include <algorithm>
#include <cmath>

#include "core/fpga/snn_code.hpp"

namespace zelka::fpga::snn {
namespace {

// The values of every node at the current and the previous step of one sample; an empty
// vector for a node without a value.
struct StepValues {
  std::vector<std::vector<double>> current, previous;
};

// The sum of the reads node `i` has at `step` (counted from 1 after the reset).
std::vector<double> summed_reads(const Plan& plan, std::size_t i, int step,
                                 const StepValues& values) {
  std::vector<double> sum;
  for (const Read& read : plan.nodes[i].reads) {
    if (step < read.from_step) continue;
    const std::vector<double>& value =
        read.previous_step ? values.previous[read.node] : values.current[read.node];
    if (sum.empty()) sum.assign(value.size(), 0.0);
    for (std::size_t k = 0; k < sum.size() && k < value.size(); ++k) sum[k] += value[k];
  }
  return sum;
}

// A dense layer's output for input `x`, observed into `range`; `transposed` holds its weight
// input-major, so that the columns of the nonzero inputs are read in order.
std::vector<double> dense_output(const Node& node, const std::vector<double>& transposed,
                                 const std::vector<double>& x, ObservedRange& range) {
  std::vector<double> y = node.bias, partial(node.n_out);
  for (std::size_t o = 0; o < node.n_out; ++o) partial[o] = std::abs(node.bias[o]);
  double input_sum = 0.0;
  std::size_t nonzero = 0;
  for (std::size_t i = 0; i < node.n_in; ++i) {
    if (x[i] == 0.0) continue;
    input_sum += std::abs(x[i]);
    ++nonzero;
    range.fractional_inputs = range.fractional_inputs || x[i] != std::nearbyint(x[i]);
    const double* column = transposed.data() + i * node.n_out;
    for (std::size_t o = 0; o < node.n_out; ++o) {
      const double product = column[o] * x[i];
      y[o] += product;
      partial[o] += std::abs(product);
    }
  }
  range.largest_input_sum = std::max(range.largest_input_sum, input_sum);
  range.most_nonzero_inputs = std::max(range.most_nonzero_inputs, nonzero);
  for (std::size_t o = 0; o < node.n_out; ++o) {
    range.largest = std::max(range.largest, std::abs(y[o]));
    range.largest_partial_sum = std::max(range.largest_partial_sum, partial[o]);
  }
  return y;
}

}  // namespace

std::vector<ObservedRange> observe_ranges(const Network& net, const Plan& plan,
                                          const CalibrationRun& run) {
  const std::size_t n = net.nodes.size();
  std::vector<ObservedRange> ranges(n);
  std::vector<std::vector<double>> transposed(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Node& node = net.nodes[i];
    if (node.kind != NodeKind::dense) continue;
    transposed[i].resize(node.weight.size());
    for (std::size_t o = 0; o < node.n_out; ++o)
      for (std::size_t k = 0; k < node.n_in; ++k)
        transposed[i][k * node.n_out + o] = node.weight[o * node.n_in + k];
  }
  for (std::size_t s = 0; s < run.samples; ++s) {
    StepValues values{std::vector<std::vector<double>>(n), std::vector<std::vector<double>>(n)};
    for (std::size_t t = 0; t < run.steps; ++t) {
      const int step = static_cast<int>(std::min<std::size_t>(t + 1, never - 1));
      std::swap(values.current, values.previous);
      for (std::size_t i = 0; i < n; ++i) {
        const Node& node = net.nodes[i];
        std::vector<double>& value = values.current[i];
        value.clear();
        if (step < plan.nodes[i].first_step || node.kind == NodeKind::output) continue;
        if (node.kind == NodeKind::input) {
          const std::size_t size = element_count(node.stimulus_shape);
          const double* first = run.stimuli[i] + ((run.per_step ? t * run.samples : 0) + s) * size;
          value.assign(first, first + size);
          for (double x : value) {
            ranges[i].largest = std::max(ranges[i].largest, std::abs(x));
            ranges[i].fractional_inputs = ranges[i].fractional_inputs || x != std::nearbyint(x);
          }
          continue;
        }
        const std::vector<double> input = summed_reads(plan, i, step, values);
        if (node.kind == NodeKind::pass_through) {
          value = input;
        } else if (node.kind == NodeKind::dense) {
          value = dense_output(node, transposed[i], input, ranges[i]);
        } else {
          const std::size_t offset = (t * run.samples + s) * node.neurons;
          const std::uint8_t* fired = run.spikes[i] + offset;
          value.assign(fired, fired + node.neurons);
          for (std::size_t k = 0; k < node.neurons; ++k) {
            const double before =
                t == 0 ? 0.0 : run.membranes[i][offset - run.samples * node.neurons + k];
            double v = rules::lif_leak(before, node.decay[k], node.rest[k]);
            if (input.size() >= node.neurons) v = rules::lif_integrate(v, input[k]);
            ranges[i].largest = std::max(ranges[i].largest, std::abs(v));
            if (node.reset == rules::LifReset::subtract &&
                rules::lif_fires(before, node.threshold[k], node.fire)) {
              v = rules::lif_subtract(v, node.threshold[k]);
              ranges[i].largest = std::max(ranges[i].largest, std::abs(v));
            }
          }
        }
      }
    }
  }
  return ranges;
}

}  // namespace zelka::fpga::snn
