// The node kinds of the graph IR, each named once with what every part of the system does
// with it: the enum, the names, and the kind lists of the simulator, the profiler and each
// backend (with the messages that list them) are all derived from the one table below.
//
// Adding a kind: add its row (its IR class in zelka.ir must have the same name and fields),
// then give it behaviour only in the rooms whose column says it takes the kind: the
// simulator's plan and numpy step for Simulated::computed rules, a kernel of core/engine and
// its reading in host/simulation/computed_graph.cpp for what it computes in a computed graph
// (the Computed column), the profiler's counting rules, the FPGA layer extraction and
// parameters.h blocks, the SNN network model.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace zelka::ir {

// What the reference simulation does with a node of the kind each step.
enum class Simulated : std::uint8_t {
  stimulus,        // an Input: the stimulus given for it (or zeros)
  reported,        // an Output: the value of its first predecessor
  affine,          // saturate(weight @ x + bias)
  lif,             // the LIF step of core/rules/lif_rule.hpp
  passed_through,  // the sum of its predecessors' values, unchanged
};

// What a node of the kind computes in a graph whose layers are computed
// (Graph(layers="computed")): each step, from its one input, what PyTorch computes for one
// sample in eval mode.  In a pass-through graph every kind but those the reference
// simulation computes passes its input through.
enum class Computed : std::uint8_t {
  as_simulated,        // what it does in every graph (the Simulated column)
  affine,              // as an Affine: saturate(weight @ x + bias)
  convolution,         // a 1-D or 2-D convolution, saturated (core/engine/convolution.hpp)
  max_pooling,         // the largest value of each window (core/engine/pooling.hpp)
  average_pooling,     // the mean of each window, padding counted
  normalisation,       // batch normalisation by the running statistics, saturated
  rectifier,           // ReLU, leaky with a non-zero negative_slope (core/engine/activations.hpp)
  logistic,            // the sigmoid
  hyperbolic_tangent,  // tanh
  flattening,          // the sample reshaped from start_dim on
  identity,            // its input unchanged (dropout at inference)
  refused,             // nothing it could compute exactly: a computed graph is refused
};

// What the profiler counts for a node of the kind, beyond its activations.
enum class Counted : std::uint8_t {
  port,           // an Input or Output: nothing
  dense,          // weight.size multiply-accumulates (of its two leading dimensions)
  convolution,    // weight.size multiply-accumulates
  neurons,        // v_threshold's leading dimension in neurons
  weight_fields,  // the sizes of its declared fields whose names hold "weight"
};

// The parts of the system that take a kind, as a set of bits.  The CPU backend simulates
// every kind; which it lists in its capabilities is a column of its own.
enum Takers : std::uint8_t {
  none = 0,
  fpga_backend = 1,  // supported by the FPGA backend's validation
  // turned into an hls4ml layer description; parameters.h writes a block for each such kind
  // it has a template for (not Conv1d and Flatten) and a note naming the others
  fpga_layer = 2,
  snn_project = 4,  // built by the SNN HLS project and the Verilog flow
};

// clang-format off
// X(identifier, IR class name, IR fields (before the common settings), simulated, computed,
//   counted, position in the CPU backend's capability list (0: not listed), takers), in the order
//   zelka.ir declares the classes.
#define ZELKA_IR_KINDS(X)                                                                         \
  X(input,          "Input",         "input_type",                                               \
    stimulus,       as_simulated,       port,           0, fpga_layer | snn_project)             \
  X(output,         "Output",        "",                                                         \
    reported,       as_simulated,       port,           0, fpga_layer | snn_project)             \
  X(affine,         "Affine",        "weight bias",                                              \
    affine,         as_simulated,       dense,          1, fpga_backend | fpga_layer | snn_project)\
  X(spiking_affine, "SpikingAffine", "weight bias",                                              \
    passed_through, affine,             weight_fields,  2, fpga_layer | snn_project)             \
  X(conv1d,         "Conv1d",        "weight bias stride padding dilation groups",               \
    passed_through, convolution,        convolution,    0, fpga_backend | fpga_layer)            \
  X(conv2d,         "Conv2d",        "weight bias stride padding dilation groups",               \
    passed_through, convolution,        convolution,    3, fpga_backend | fpga_layer)            \
  X(sep_conv2d,     "SepConv2d",     "depthwise_weight pointwise_weight bias stride padding",    \
    passed_through, refused,            weight_fields,  4, none)                                 \
  X(max_pool2d,     "MaxPool2d",     "kernel_size stride padding",                               \
    passed_through, max_pooling,        weight_fields,  5, fpga_backend | fpga_layer)            \
  X(avg_pool2d,     "AvgPool2d",     "kernel_size stride padding",                               \
    passed_through, average_pooling,    weight_fields,  6, fpga_backend | fpga_layer)            \
  X(batch_norm1d,   "BatchNorm1d",   "num_features running_mean running_var gamma beta eps",     \
    passed_through, normalisation,      weight_fields, 16, fpga_layer)                           \
  X(batch_norm2d,   "BatchNorm2d",   "num_features running_mean running_var gamma beta eps",     \
    passed_through, normalisation,      weight_fields, 17, fpga_backend | fpga_layer)            \
  X(lif,            "LIF",           "tau v_threshold v_leak r reset fire",                      \
    lif,            as_simulated,       neurons,        8, fpga_backend | fpga_layer | snn_project)\
  X(relu,           "ReLU",          "features negative_slope",                                  \
    passed_through, rectifier,          weight_fields,  9, fpga_backend | fpga_layer)            \
  X(sigmoid,        "Sigmoid",       "features",                                                 \
    passed_through, logistic,           weight_fields, 10, fpga_backend | fpga_layer)            \
  X(tanh,           "Tanh",          "features",                                                 \
    passed_through, hyperbolic_tangent, weight_fields, 11, none)                                 \
  X(softmax,        "Softmax",       "features axis",                                            \
    passed_through, refused,            weight_fields, 12, none)                                 \
  X(gelu,           "GELU",          "features",                                                 \
    passed_through, refused,            weight_fields, 13, none)                                 \
  X(elu,            "ELU",           "features alpha",                                           \
    passed_through, refused,            weight_fields, 14, none)                                 \
  X(prelu,          "PReLU",         "features slope",                                           \
    passed_through, refused,            weight_fields, 15, none)                                 \
  X(layer_norm,     "LayerNorm",     "normalized_shape gamma beta eps",                          \
    passed_through, refused,            weight_fields, 18, none)                                 \
  X(dropout,        "Dropout",       "p",                                                        \
    passed_through, identity,           weight_fields, 19, none)                                 \
  X(hybrid_region,  "HybridRegion",  "subgraph domain",                                          \
    passed_through, refused,            weight_fields, 20, none)                                 \
  X(skip,           "Skip",          "mode",                                                     \
    passed_through, refused,            weight_fields, 21, none)                                 \
  X(upsample,       "Upsample",      "scale_factor mode",                                        \
    passed_through, refused,            weight_fields, 22, none)                                 \
  X(flatten,        "Flatten",       "start_dim",                                                \
    passed_through, flattening,         weight_fields,  7, fpga_backend | fpga_layer | snn_project)
// clang-format on

enum class Kind : std::uint8_t {
#define ZELKA_IR_KIND_ENUM(id, name, fields, simulated, computed, counted, cpu_position, takers) id,
  ZELKA_IR_KINDS(ZELKA_IR_KIND_ENUM)
#undef ZELKA_IR_KIND_ENUM
};

struct KindInfo {
  Kind kind;
  std::string_view name;
  std::string_view fields;  // separated by single spaces, in declaration order
  Simulated simulated;
  Computed computed;
  Counted counted;
  int cpu_position;
  std::uint8_t takers;

  constexpr bool taken_by(Takers part) const { return (takers & part) != 0; }
};

inline constexpr std::array kinds{
#define ZELKA_IR_KIND_INFO(id, name, fields, simulated, computed, counted, cpu_position, takers) \
  KindInfo{Kind::id,         name,         fields, Simulated::simulated, Computed::computed,     \
           Counted::counted, cpu_position, takers},
    ZELKA_IR_KINDS(ZELKA_IR_KIND_INFO)
#undef ZELKA_IR_KIND_INFO
};

inline constexpr std::size_t kind_count = kinds.size();

constexpr const KindInfo& info(Kind kind) {
  return kinds[static_cast<std::size_t>(kind)];
}

// The kind's IR class name, as a C string (the table's names are string literals).
constexpr const char* kind_name(Kind kind) {
  return info(kind).name.data();
}

// The kinds whose row satisfies `keep`, in table order, or sorted by name (by character
// code, the order users read lists in).
template <auto keep, bool by_name = false>
constexpr auto kinds_where() {
  std::array<Kind, std::count_if(kinds.begin(), kinds.end(), keep)> out{};
  std::size_t next = 0;
  for (const KindInfo& k : kinds)
    if (keep(k)) out[next++] = k.kind;
  if constexpr (by_name)
    std::sort(out.begin(), out.end(), [](Kind a, Kind b) { return info(a).name < info(b).name; });
  return out;
}

template <Takers part, bool by_name = false>
constexpr auto kinds_taken_by() {
  return kinds_where<[](const KindInfo& k) { return k.taken_by(part); }, by_name>();
}

// Every kind: the simulator and the profiler tell them all apart, since a computed graph
// computes most of them (the Computed column).
inline constexpr auto every_kind = kinds_where<[](const KindInfo&) { return true; }>();

// `listed` as its refusals name the kinds a writer builds: the Inputs' kind first, the
// Outputs' last, the others in table order between them.
template <std::size_t n>
constexpr std::array<Kind, n> ports_at_the_ends(std::array<Kind, n> listed) {
  const auto rank = [](Kind k) {
    return info(k).simulated == Simulated::stimulus   ? 0
           : info(k).simulated == Simulated::reported ? 2
                                                      : 1;
  };
  for (std::size_t i = 1; i < n; ++i)  // a stable insertion sort by rank
    for (std::size_t j = i; j > 0 && rank(listed[j - 1]) > rank(listed[j]); --j)
      std::swap(listed[j - 1], listed[j]);
  return listed;
}

// The kinds the CPU backend lists in its capabilities, in its order.
constexpr auto cpu_listed_kinds() {
  constexpr auto listed = [](const KindInfo& k) { return k.cpu_position > 0; };
  std::array<Kind, std::count_if(kinds.begin(), kinds.end(), listed)> out{};
  for (const KindInfo& k : kinds)
    if (listed(k)) out[static_cast<std::size_t>(k.cpu_position - 1)] = k.kind;
  return out;
}

// "A, B and C": the names of `listed` as a sentence lists them.
template <std::size_t n>
std::string names_in_words(const std::array<Kind, n>& listed) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += i + 1 == n ? " and " : ", ";
    out += kind_name(listed[i]);
  }
  return out;
}

}  // namespace zelka::ir
