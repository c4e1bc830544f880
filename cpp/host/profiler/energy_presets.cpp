#include "host/profiler/energy_presets.hpp"

#include "core/profiler/energy_presets.hpp"

namespace zelka::host::profiler {

nb::dict energy_presets_table() {
  nb::dict table;
  for (const zelka::profiler::EnergyPreset& p : zelka::profiler::energy_presets) {
    nb::dict entry;
    entry["mac_pj"] = p.mac_pj;
    entry["spike_pj"] = p.spike_pj;
    entry["sram_read_pj"] = p.sram_read_pj;
    entry["sram_write_pj"] = p.sram_write_pj;
    entry["description"] = nb::str(p.description.data(), p.description.size());
    table[nb::str(p.name.data(), p.name.size())] = entry;
  }
  return table;
}

nb::dict accumulate_table() {
  nb::dict table;
  for (const zelka::profiler::EnergyPreset& p : zelka::profiler::energy_presets)
    table[nb::str(p.name.data(), p.name.size())] = zelka::profiler::accumulate_pj(p);
  return table;
}

nb::dict energy_preset(nb::handle presets, nb::handle name) {
  int known = PySequence_Contains(presets.ptr(), name.ptr());
  if (known < 0) throw nb::python_error();
  if (!known) {
    nb::object names = imported("builtins").attr("sorted")(presets);
    raise_formatted(PyExc_KeyError, "Unknown energy preset '{}'. Available: {}", name,
                    nb::str(", ").attr("join")(names));
  }
  nb::object preset = getitem(presets, name);
  if (PyDict_CheckExact(preset.ptr()))
    return nb::borrow<nb::dict>(steal_or_raise(PyDict_Copy(preset.ptr())));
  return nb::borrow<nb::dict>(imported("builtins").attr("dict")(preset));
}

}  // namespace zelka::host::profiler
