#include "core/fpga/rtl_design.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>

#include "core/errors.hpp"
#include "core/fpga/snn_code.hpp"

namespace zelka::fpga::rtl {
namespace {

using snn::NodeKind;

constexpr std::size_t no_storage = std::numeric_limits<std::size_t>::max();

constexpr std::array<std::string_view, 7> quantisation_modes{
    "AP_TRN",         "AP_TRN_ZERO", "AP_RND",     "AP_RND_ZERO",
    "AP_RND_MIN_INF", "AP_RND_INF",  "AP_RND_CONV"};
constexpr std::array<std::string_view, 4> overflow_modes{"AP_WRAP", "AP_SAT", "AP_SAT_ZERO",
                                                         "AP_SAT_SYM"};

int position_in(const auto& names, std::string_view name) {
  return static_cast<int>(std::find(names.begin(), names.end(), name) - names.begin());
}

// The rounding into `type`; `subject` names it in messages ("Affine node 'fc': result_t").
Rounding rounding_of(const FixedType& type, const std::string& subject) {
  std::vector<std::string_view> modes;
  const std::string_view text = type.modes;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    modes.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  Rounding rounding;
  if (!modes.empty()) rounding.quantisation = position_in(quantisation_modes, modes[0]);
  if (modes.size() > 1) {
    rounding.overflow = position_in(overflow_modes, modes[1]);
    if (rounding.overflow == static_cast<int>(overflow_modes.size()))
      throw ValueError(subject + " " + type.name() + " wraps in sign-magnitude (" +
                       std::string(modes[1]) +
                       "), which the Verilog generator does not build; use AP_WRAP, AP_SAT, "
                       "AP_SAT_ZERO or AP_SAT_SYM");
  }
  if (modes.size() > 2 && modes[2] != "0")
    throw ValueError(subject + " " + type.name() + " has " + std::string(modes[2]) +
                     " saturation bits, which the Verilog generator does not build");
  return rounding;
}

int ceil_log2(std::size_t n) {
  int bits = 0;
  while ((std::size_t{1} << bits) < n) ++bits;
  return bits;
}

std::size_t words_of(std::size_t size, std::size_t lanes) {
  return (size + lanes - 1) / lanes;
}

Format union_of(const Format& a, const Format& b) {
  const int fraction = std::max(a.fraction, b.fraction);
  return {std::max(a.integer_bits(), b.integer_bits()) + fraction, fraction};
}

bool is_spike_type(const FixedType& type) {
  return !type.is_signed && type.width == 1 && type.fractional_bits() == 0;
}

class Builder {
 public:
  Builder(const snn::Network& net, const snn::Plan& plan, std::size_t lanes,
          const std::vector<DenseLanes>& dense_lanes)
      : net_(net), plan_(plan), dense_lanes_(dense_lanes), storage_(net.nodes.size(), no_storage) {
    design_.lanes = lanes;
    design_.membrane = net.membrane_type;
    design_.decay = decay_type(net.membrane_type);
    design_.membrane_rounding = rounding_of(net.membrane_type, "the membrane type");
    design_.steps_to_settle = plan.steps_to_settle;
  }

  Design build() {
    place_storages();
    design_.lif_input = lif_input_format();
    std::size_t lif_number = 0;
    for (std::size_t i = 0; i < net_.nodes.size(); ++i) {
      const snn::Node& node = net_.nodes[i];
      const int first = plan_.nodes[i].first_step;
      if (node.kind == NodeKind::lif) ++lif_number;
      if (!snn::is_evaluated(plan_, i)) continue;
      if (node.kind == NodeKind::input) design_.inputs.push_back({i, storage_[i], first});
      if (node.kind == NodeKind::output) design_.outputs.push_back({i, storage_[i], first});
      if (node.kind == NodeKind::dense) {
        design_.operations.push_back({UnitKind::dense, design_.dense.size(), first});
        design_.dense.push_back(dense_unit(i));
      } else if (node.kind == NodeKind::lif) {
        design_.operations.push_back({UnitKind::lif, design_.lif.size(), first});
        design_.lif.push_back(lif_layer(i, lif_number - 1));
      } else if (has_copy(i)) {
        design_.operations.push_back({UnitKind::copy, design_.copies.size(), first});
        design_.copies.push_back({i, storage_[i], input_of(i, own_format(i))});
      }
    }
    design_.lif_nodes = lif_number;
    return design_;
  }

  // Whether every value is read at the step that computes it, from the first step on.
  bool overlappable() const {
    // (and something is read: a unit reading nothing would run ahead of the host's steps)
    const auto from_first_step = [](const UnitInput& input) {
      return !input.terms.empty() &&
             std::all_of(input.terms.begin(), input.terms.end(),
                         [](const Term& t) { return t.from_step == 1 && !t.previous_step; });
    };
    return !design_.operations.empty() &&
           std::all_of(design_.operations.begin(), design_.operations.end(),
                       [](const Operation& op) { return op.first_step == 1; }) &&
           std::all_of(design_.outputs.begin(), design_.outputs.end(),
                       [](const Port& port) { return port.first_step == 1; }) &&
           std::all_of(design_.dense.begin(), design_.dense.end(),
                       [&](const DenseUnit& u) { return from_first_step(u.input); }) &&
           std::all_of(design_.lif.begin(), design_.lif.end(),
                       [&](const LifLayer& l) { return from_first_step(l.input); }) &&
           std::all_of(design_.copies.begin(), design_.copies.end(),
                       [&](const CopyUnit& c) { return from_first_step(c.input); });
  }

 private:
  // Whether a pass-through or Output node keeps its value in a memory of its own, filled when
  // its turn comes: a sum, or a value some earlier node reads at the next step (and an
  // Output node reporting a later node's value of the previous step).
  bool has_copy(std::size_t i) const {
    const NodeKind kind = net_.nodes[i].kind;
    if (kind == NodeKind::pass_through) return !snn::is_alias(net_, plan_, i);
    return kind == NodeKind::output && plan_.nodes[i].reads.front().previous_step;
  }

  void place_storages() {
    for (std::size_t i = 0; i < net_.nodes.size(); ++i) {
      if (!snn::is_evaluated(plan_, i)) continue;
      const NodeKind kind = net_.nodes[i].kind;
      const bool own = kind == NodeKind::input || kind == NodeKind::dense ||
                       kind == NodeKind::lif || has_copy(i);
      if (!own) {
        // Aliases and Output nodes read a node before them in the order: already placed.
        storage_[i] = storage_[plan_.nodes[i].reads.front().node];
        continue;
      }
      const std::size_t size = snn::element_count(plan_.nodes[i].shape);
      storage_[i] = design_.storages.size();
      design_.storages.push_back(
          {i, plan_.nodes[i].value_type, size, words_of(size, design_.lanes)});
    }
  }

  const FixedType& stored_type(std::size_t node) const {
    return design_.storages[storage_[node]].type;
  }

  // The format of the sum of a node's reads: the plan's exact sum type, or its one read's.
  Format own_format(std::size_t i) const {
    const snn::NodePlan& p = plan_.nodes[i];
    return container_of(p.reads.size() > 1 ? p.sum_type : stored_type(p.reads.front().node));
  }

  UnitInput input_of(std::size_t i, const Format& format) const {
    UnitInput input{{}, format};
    for (const snn::Read& read : plan_.nodes[i].reads)
      input.terms.push_back({storage_[read.node], read.from_step,
                             format.fraction - stored_type(read.node).fractional_bits(),
                             read.previous_step});
    return input;
  }

  // Whether an LIF layer's input reaches every neuron; a shorter one adds nothing.
  bool feeds_every_neuron(std::size_t i) const {
    const snn::NodePlan& p = plan_.nodes[i];
    return snn::element_count(plan_.nodes[p.reads.front().node].shape) >= net_.nodes[i].neurons;
  }

  Format lif_input_format() const {
    Format format{1, 0};
    for (std::size_t i = 0; i < net_.nodes.size(); ++i)
      if (net_.nodes[i].kind == NodeKind::lif && snn::is_evaluated(plan_, i) &&
          feeds_every_neuron(i))
        format = union_of(format, own_format(i));
    return format;
  }

  DenseUnit dense_unit(std::size_t i) const {
    const snn::Node& node = net_.nodes[i];
    DenseUnit unit{i, storage_[i], input_of(i, own_format(i))};
    unit.n_in = node.n_in;
    unit.in_words = words_of(node.n_in, design_.lanes);
    unit.out_lanes = design_.lanes;
    for (const DenseLanes& given : dense_lanes_)
      if (given.node == i) unit.out_lanes = given.lanes;
    unit.out_words = words_of(node.n_out, design_.lanes);
    unit.blocks = words_of(node.n_out, unit.out_lanes);
    unit.spikes = unit.input.terms.size() == 1 &&
                  is_spike_type(design_.storages[unit.input.terms.front().storage].type);
    unit.weight = {node.weight_type.width, node.weight_type.fractional_bits()};
    unit.bias = container_of(node.bias_type);
    // As zelka_dense forms them: the weight widened by a sign bit, times the value.
    const Format& x = unit.input.format;
    unit.product = unit.spikes
                       ? Format{unit.weight.width + 1, unit.weight.fraction}
                       : Format{x.width + unit.weight.width + 1, x.fraction + unit.weight.fraction};
    const int fraction = std::max(unit.product.fraction, unit.bias.fraction);
    const int integer_bits =
        std::max(unit.product.integer_bits() + ceil_log2(unit.n_in), unit.bias.integer_bits()) + 1;
    unit.accumulator = {integer_bits + fraction, fraction};
    unit.rounding = rounding_of(node.result_type, node.label + ": its result type");
    return unit;
  }

  LifLayer lif_layer(std::size_t i, std::size_t number) {
    LifLayer layer{i, storage_[i], number};
    layer.input =
        feeds_every_neuron(i) ? input_of(i, design_.lif_input) : UnitInput{{}, design_.lif_input};
    layer.first_word = design_.membrane_words;
    layer.words = words_of(net_.nodes[i].neurons, design_.lanes);
    design_.membrane_words += layer.words;
    return layer;
  }

  const snn::Network& net_;
  const snn::Plan& plan_;
  const std::vector<DenseLanes>& dense_lanes_;
  std::vector<std::size_t> storage_;  // per node: the memory holding its value
  Design design_;
};

}  // namespace

Format container_of(const FixedType& type) {
  return {type.width + (type.is_signed ? 0 : 1), type.fractional_bits()};
}

Design design_network(const snn::Network& network, const snn::Plan& plan, std::size_t lanes,
                      const std::vector<DenseLanes>& dense_lanes, bool overlap) {
  Builder builder(network, plan, lanes, dense_lanes);
  Design design = builder.build();
  if (overlap && builder.overlappable()) design.schedule = Schedule::overlapped;
  return design;
}

const char* schedule_name(Schedule schedule) {
  return schedule == Schedule::overlapped ? "overlapped" : "sequential";
}

int bits_for(std::size_t largest) {
  int bits = 1;
  while (bits < 64 && (largest >> bits) != 0) ++bits;
  return bits;
}

}  // namespace zelka::fpga::rtl
