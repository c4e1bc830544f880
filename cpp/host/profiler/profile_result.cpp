#include "host/profiler/profile_result.hpp"

#include "core/profiler/summary.hpp"
#include "core/text/number_format.hpp"

namespace zelka::host::profiler {

const RecordLayout profile_result_layout{
    "ProfileResult",
    "Estimated energy, operation counts, memory and host latency of one profiled run.\n\n"
    "All energy figures are analytical estimates from operation counts and per-operation\n"
    "coefficients, never measurements.\n\n"
    "Attributes:\n"
    "    total_latency_us: Host time of the whole run, microseconds.\n"
    "    per_node_latency: Node name -> host time of its compute over all steps, microseconds.\n"
    "    energy_estimate_uj: Estimated total energy, microjoules.\n"
    "    mac_energy_uj: Share due to multiply-accumulate operations, microjoules.\n"
    "    spike_energy_uj: Share due to spike events, microjoules.\n"
    "    sram_energy_uj: Share due to on-chip memory accesses, microjoules.\n"
    "    per_layer_energy_uj: Node name -> estimated energy, microjoules (positive ones only).\n"
    "    peak_memory_bytes: Largest activation footprint at the end of a step plus weight\n"
    "        and state memory, bytes.\n"
    "    weight_memory_bytes: Bytes of the nodes' weight-like arrays.\n"
    "    state_memory_bytes: Bytes of the nodes' neuron state arrays.\n"
    "    total_sram_accesses: Estimated on-chip memory reads plus writes.\n"
    "    spike_counts: LIF node name -> spikes over all steps.\n"
    "    mac_ops: Multiply-accumulate operations over all steps.\n"
    "    neuron_utilization: LIF node name -> spikes per neuron-step.\n"
    "    per_core_latency: Core id -> summed node latencies, microseconds.\n"
    "    per_core_energy: Core id -> estimated energy, microjoules.\n"
    "    energy_preset: Name of the energy preset used.",
    {{"total_latency_us", zero_float},
     {"per_node_latency", new_dict},
     {"energy_estimate_uj", zero_float},
     {"mac_energy_uj", zero_float},
     {"spike_energy_uj", zero_float},
     {"sram_energy_uj", zero_float},
     {"per_layer_energy_uj", new_dict},
     {"peak_memory_bytes", zero_int},
     {"weight_memory_bytes", zero_int},
     {"state_memory_bytes", zero_int},
     {"total_sram_accesses", zero_int},
     {"spike_counts", new_dict},
     {"mac_ops", zero_int},
     {"neuron_utilization", new_dict},
     {"per_core_latency", new_dict},
     {"per_core_energy", new_dict},
     {"energy_preset", empty_str}}};

namespace {

// format(value, ",.{digits}f") with the core's renderer for floats.
std::string grouped_fixed(nb::handle value, int digits) {
  if (PyFloat_CheckExact(value.ptr()))
    return text::grouped_fixed(PyFloat_AS_DOUBLE(value.ptr()), digits);
  const std::string format = ",." + std::to_string(digits) + "f";
  return utf8_surrogates_passed(
      steal_or_raise(PyObject_Format(value.ptr(), nb::str(format.c_str()).ptr())));
}

// format(value, ",") with the core's renderer for ints.
std::string grouped(nb::handle value) {
  if (PyLong_CheckExact(value.ptr())) return text::grouped_integer(str_text(value));
  return utf8_surrogates_passed(steal_or_raise(PyObject_Format(value.ptr(), nb::str(",").ptr())));
}

// str(value) as UTF-8, lone surrogates passed through.
std::string text_of(nb::handle value) {
  return utf8_surrogates_passed(steal_or_raise(PyObject_Str(value.ptr())));
}

}  // namespace

nb::str profile_summary(nb::handle record) {
  zelka::profiler::SummaryValues v;
  nb::object preset = record.attr("energy_preset");
  v.preset = truth(preset) ? text_of(preset) : "custom";
  v.total_energy = grouped_fixed(record.attr("energy_estimate_uj"), 4);
  v.mac_energy = grouped_fixed(record.attr("mac_energy_uj"), 4);
  v.spike_energy = grouped_fixed(record.attr("spike_energy_uj"), 4);
  v.sram_energy = grouped_fixed(record.attr("sram_energy_uj"), 4);
  v.mac_operations = grouped(record.attr("mac_ops"));
  nb::object total_spikes = nb::int_(0);
  for (nb::handle count : record.attr("spike_counts").attr("values")())
    total_spikes = add(total_spikes, count);
  v.total_spikes = grouped(total_spikes);
  v.sram_accesses = grouped(record.attr("total_sram_accesses"));
  v.weight_memory = grouped(record.attr("weight_memory_bytes"));
  v.state_memory = grouped(record.attr("state_memory_bytes"));
  v.peak_memory = grouped(record.attr("peak_memory_bytes"));
  v.latency = grouped_fixed(record.attr("total_latency_us"), 1);
  nb::object layers = record.attr("per_layer_energy_uj");
  if (truth(layers)) {
    // The host's stable sort, largest first: equal energies keep their insertion order.
    nb::object by_energy = imported("operator").attr("itemgetter")(1);
    nb::object sorted = imported("builtins")
                            .attr("sorted")(layers.attr("items")(), nb::arg("key") = by_energy,
                                            nb::arg("reverse") = true);
    for (nb::handle item : sorted) {
      if (v.top_layers.size() == zelka::profiler::summary_layer_count) break;
      v.top_layers.emplace_back(text_of(item[0]), grouped_fixed(item[1], 4));
    }
  }
  return str_from_utf8_surrogates_passed(zelka::profiler::render_summary(v));
}

}  // namespace zelka::host::profiler
