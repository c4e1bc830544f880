#include "core/profiler/accounting.hpp"

#include <algorithm>

#include "core/errors.hpp"

namespace zelka::profiler {
namespace {

// Position of `key` in an ordered list of (key, value) pairs, added with `zero` when new.
template <typename Value>
Value& entry(std::vector<std::pair<int, Value>>& list, int key, Value zero) {
  for (auto& [k, v] : list)
    if (k == key) return v;
  list.emplace_back(key, zero);
  return list.back().second;
}

double as_double(Count n) {
  return static_cast<double>(n);
}

}  // namespace

Count checked_add(Count a, Count b) {
  Count sum;
  if (__builtin_add_overflow(a, b, &sum)) throw OverflowError("profile counts exceed 127 bits");
  return sum;
}

Count checked_mul(Count a, Count b) {
  Count product;
  if (__builtin_mul_overflow(a, b, &product)) throw OverflowError("profile counts exceed 127 bits");
  return product;
}

bool is_state_attribute(std::string_view name) {
  return std::find(std::begin(state_attributes), std::end(state_attributes), name) !=
         std::end(state_attributes);
}

Memory memory_census(const std::vector<HeldArray>& arrays) {
  Memory memory;
  for (const HeldArray& array : arrays) {
    Count& total = is_state_attribute(array.name) ? memory.state : memory.weight;
    total = checked_add(total, array.nbytes);
  }
  return memory;
}

Count product(const std::vector<std::int64_t>& dims) {
  Count n = 1;
  for (std::int64_t d : dims) n = checked_mul(n, d);
  return n;
}

Count declared_field_macs(const std::vector<DeclaredField>& fields) {
  Count macs = 0;
  for (const DeclaredField& field : fields) {
    const bool weight = field.name.find("weight") != std::string_view::npos;
    if (weight && field.name.find("cheap") == std::string_view::npos) {
      if (field.shape && field.shape->size() >= 2) macs = checked_add(macs, product(*field.shape));
    } else if (field.name.find("cheap_weight") != std::string_view::npos) {
      if (field.shape && field.shape->size() == 4) {
        const std::vector<std::int64_t>& s = *field.shape;
        macs = checked_add(macs, checked_mul(checked_mul(s[0], s[2]), s[3]));
      }
    }
  }
  return macs;
}

Count step_macs(const std::vector<MacNode>& nodes) {
  Count macs = 0;
  for (const MacNode& node : nodes) {
    switch (node.rule) {
      case MacNode::Rule::affine:
      case MacNode::Rule::convolution:
        macs = checked_add(macs, product(node.weight_dims));
        break;
      case MacNode::Rule::declared_fields:
        macs = checked_add(macs, declared_field_macs(node.fields));
        break;
      case MacNode::Rule::counted:
        macs = checked_add(macs, node.count);
        break;
      case MacNode::Rule::none:
        break;
    }
  }
  return macs;
}

SramAccesses sram_accesses(Count weight_memory, const std::vector<std::int64_t>& lif_neurons,
                           Count n_steps) {
  SramAccesses sram{words(weight_memory), 0};
  for (std::int64_t neurons : lif_neurons) {
    const Count accesses = checked_mul(neurons, n_steps);
    sram.reads = checked_add(sram.reads, accesses);
    sram.writes = checked_add(sram.writes, accesses);
  }
  return sram;
}

EnergyBreakdown energy_breakdown(Count mac_ops, Count total_spikes, const SramAccesses& sram,
                                 const Coefficients& c) {
  const double mac_pj = as_double(mac_ops) * c.mac_pj;
  const double spike_pj = as_double(total_spikes) * c.spike_pj;
  const double sram_pj =
      as_double(sram.reads) * c.sram_read_pj + as_double(sram.writes) * c.sram_write_pj;
  const double total_pj = mac_pj + spike_pj + sram_pj;
  return {total_pj / 1e6, mac_pj / 1e6, spike_pj / 1e6, sram_pj / 1e6};
}

LayerFigures layer_figures(const std::vector<LayerNode>& nodes, Count n_steps,
                           const Coefficients& c) {
  LayerFigures out;
  std::vector<std::pair<int, Count>> core_macs, core_spikes, core_sram;
  std::vector<int> core_order;  // cores in the order they first get a count
  const auto note_core = [&](int core) {
    if (std::find(core_order.begin(), core_order.end(), core) == core_order.end())
      core_order.push_back(core);
  };
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const LayerNode& node = nodes[i];
    if (node.latency_us) entry(out.core_latency_us, node.core, 0.0) += *node.latency_us;
    std::optional<double> layer_pj;
    switch (node.kind) {
      case LayerNode::Kind::affine:
      case LayerNode::Kind::convolution:
      case LayerNode::Kind::computed: {
        const Count macs =
            checked_mul(node.step_macs ? *node.step_macs : product(node.weight_dims), n_steps);
        const Count reads = words(node.weight_bytes);
        layer_pj = as_double(macs) * c.mac_pj + as_double(reads) * c.sram_read_pj;
        Count& core_mac_total = entry(core_macs, node.core, Count(0));
        core_mac_total = checked_add(core_mac_total, macs);
        Count& core_reads = entry(core_sram, node.core, Count(0));
        core_reads = checked_add(core_reads, reads);
        note_core(node.core);
        break;
      }
      case LayerNode::Kind::lif: {
        const Count spikes = node.spikes.value_or(0);
        const Count neuron_steps = checked_mul(node.neurons, n_steps);
        layer_pj = as_double(spikes) * c.spike_pj +
                   as_double(neuron_steps) * (c.sram_read_pj + c.sram_write_pj);
        out.neuron_utilization.emplace_back(i,
                                            true_divide(spikes, std::max(neuron_steps, Count(1))));
        break;
      }
      case LayerNode::Kind::other:
        break;
    }
    if (layer_pj && *layer_pj > 0) out.layer_energy_uj.emplace_back(i, *layer_pj / 1e6);
    if (node.spikes) {
      Count& core_spike_total = entry(core_spikes, node.core, Count(0));
      core_spike_total = checked_add(core_spike_total, *node.spikes);
      note_core(node.core);
    }
  }
  const auto count_of = [](const std::vector<std::pair<int, Count>>& list, int core) {
    for (const auto& [k, v] : list)
      if (k == core) return v;
    return Count(0);
  };
  for (int core : core_order) {
    const double pj = as_double(count_of(core_macs, core)) * c.mac_pj +
                      as_double(count_of(core_spikes, core)) * c.spike_pj +
                      as_double(count_of(core_sram, core)) * c.sram_read_pj;
    out.core_energy_uj.emplace_back(core, pj / 1e6);
  }
  return out;
}

double true_divide(Count a, Count b) {
  constexpr Count exact = Count(1) << 53;
  if (a <= exact && a >= -exact && b <= exact && b >= -exact)
    return static_cast<double>(a) / static_cast<double>(b);
  return static_cast<double>(static_cast<long double>(a) / static_cast<long double>(b));
}

}  // namespace zelka::profiler
