// The profiler's counting rules: memory census, multiply-accumulate count, SRAM access
// estimate, energy breakdown, and per-layer and per-core figures.  Plain functions of a
// view of the graph (what the host read off its nodes) and of the step results.
//
// Counts are exact integers.  Energies are computed in picojoules in double precision, each
// count converted to double as it enters a product (the host language's int * float), and
// reported in microjoules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelka::profiler {

// Wide enough for any count of a run whose step count fits in 64 bits; arithmetic that
// would leave its range throws OverflowError.
using Count = __int128;

Count checked_add(Count a, Count b);
Count checked_mul(Count a, Count b);

struct Coefficients {
  double mac_pj, spike_pj, sram_read_pj, sram_write_pj;
};

// ---- memory census ----------------------------------------------------------------------

// The attribute names that count as neuron state; every other array counts as weights.
bool is_state_attribute(std::string_view name);

// The attributes looked at on a node that does not declare its fields, weight-like first.
inline constexpr std::string_view weight_attributes[] = {"weight",      "bias",  "running_mean",
                                                         "running_var", "gamma", "beta"};
inline constexpr std::string_view state_attributes[] = {"tau", "v_threshold", "v_leak", "r"};

// An array held by a node (not an Input or Output) under an attribute name.
struct HeldArray {
  std::string name;  // UTF-8
  std::int64_t nbytes;
};

struct Memory {
  Count weight = 0;
  Count state = 0;
};

Memory memory_census(const std::vector<HeldArray>& arrays);

// ---- multiply-accumulate count ----------------------------------------------------------

// A declared field of a node that the field rule looks at: its name and, when it holds an
// array, the array's shape.
struct DeclaredField {
  std::string name;  // UTF-8
  std::optional<std::vector<std::int64_t>> shape;
};

// What one node contributes to the MACs of a step, by the first rule that applies to it.
struct MacNode {
  enum class Rule { affine, convolution, declared_fields, counted, none } rule = Rule::none;
  // affine: out_features x in_features; convolution: every dimension of the weight.
  std::vector<std::int64_t> weight_dims;
  std::vector<DeclaredField> fields;  // declared_fields
  Count count = 0;                    // counted: what a computed graph's node computes in a step
};

// Fields whose name contains "weight" but not "cheap" count every element of an array of
// two or more dimensions; names containing "cheap_weight" count shape[0] x shape[2] x
// shape[3] of a four-dimensional array.
Count declared_field_macs(const std::vector<DeclaredField>& fields);

Count step_macs(const std::vector<MacNode>& nodes);

Count product(const std::vector<std::int64_t>& dims);

// ---- SRAM accesses and energy -----------------------------------------------------------

// Accesses to a block of bytes in 4-byte words, rounded up.
inline Count words(Count bytes) {
  return (bytes + 3) / 4;  // byte counts are never negative
}

struct SramAccesses {
  Count reads = 0;
  Count writes = 0;
};

// All weight memory read once for the run; every LIF neuron's state read and written once
// per step.
SramAccesses sram_accesses(Count weight_memory, const std::vector<std::int64_t>& lif_neurons,
                           Count n_steps);

struct EnergyBreakdown {
  double total_uj, mac_uj, spike_uj, sram_uj;
};

EnergyBreakdown energy_breakdown(Count mac_ops, Count total_spikes, const SramAccesses& sram,
                                 const Coefficients& c);

// ---- per layer and per core -------------------------------------------------------------

// A node other than Input and Output, in graph order.
struct LayerNode {
  // computed: a computed graph's pooling, normalisation or activation (step_macs).
  enum class Kind { affine, convolution, computed, lif, other } kind = Kind::other;
  int core = 0;                      // index into the run's core ids
  std::optional<double> latency_us;  // the node's measured latency, when it was timed
  std::optional<Count> spikes;       // the node's spike count, when it has one
  // affine: out_features x in_features; convolution: every dimension of the weight.
  std::vector<std::int64_t> weight_dims;
  Count weight_bytes = 0;    // weight and bias bytes (affine, convolution)
  std::int64_t neurons = 0;  // lif
  // In a computed graph, the MACs of a step as the layer computes them (in place of the
  // weight's size).
  std::optional<Count> step_macs;
};

struct LayerFigures {
  // Per node index (into the LayerNode list): energy in microjoules, only where positive.
  std::vector<std::pair<std::size_t, double>> layer_energy_uj;
  // Per LIF node index: spikes / max(neurons x steps, 1).
  std::vector<std::pair<std::size_t, double>> neuron_utilization;
  // Per core index, in the order cores first appear.
  std::vector<std::pair<int, double>> core_latency_us;
  std::vector<std::pair<int, double>> core_energy_uj;
};

LayerFigures layer_figures(const std::vector<LayerNode>& nodes, Count n_steps,
                           const Coefficients& c);

// a / b as the host language's true division of integers: correctly rounded while both
// are at most 2**53 in magnitude (every count of a real run); beyond, within one rounding.
double true_divide(Count a, Count b);

}  // namespace zelka::profiler
