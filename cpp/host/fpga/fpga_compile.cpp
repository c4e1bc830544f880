#include "host/fpga/fpga_compile.hpp"

#include "host/fpga/bitstream_config.hpp"
#include "host/fpga/build_script.hpp"
#include "host/fpga/clock_period.hpp"
#include "host/fpga/fpga_backend.hpp"
#include "host/fpga/hls4ml_config.hpp"
#include "host/fpga/hls_headers.hpp"
#include "host/fpga/vexal_config.hpp"

using namespace nanobind::literals;

namespace zelka::host::fpga {

nb::object compile(nb::handle self, nb::handle graph, const ProjectSettings& s,
                   nb::handle bitstream_config) {
  nb::object validation = self.attr("validate")(graph);
  if (!truth(validation.attr("is_valid")))
    raise_formatted(PyExc_ValueError, "Graph validation failed: {}. Supported: {}",
                    validation.attr("unsupported_nodes"), supported_kind_list());

  nb::object hls_config = hls4ml_config(graph, s);

  nb::dict metadata;
  metadata["backend"] = "fpga";
  metadata["hls4ml_config"] = hls_config;
  metadata["template_paths"] = neuron_model_header_paths();
  // The board table itself, as the vexal module holds it: callers see one table.
  metadata["target_parts"] = imported("zelka.backend.fpga.vexal").attr("VEXAL_PARTS");
  nb::object descriptor = imported("zelka.backend.config").attr("HardwareDescriptor")();
  descriptor.attr("metadata") = metadata;
  if (bitstream_config.is_none()) return descriptor;

  const auto& flags =
      static_cast<const BitstreamConfig&>(detail::initialised_record(bitstream_config));
  nb::object script = build_script(hls_config, flags, s.project_name);
  nb::object tcl = settings_tcl_script(s);
  nb::dict flag_values;
  for (const char* flag : bitstream_flags) flag_values[flag] = flags[flags.index_of(flag)];
  nb::dict bitstream;
  bitstream["enabled"] = true;
  bitstream["config"] = flag_values;
  bitstream["build_script"] = script;
  bitstream["tcl_script"] = tcl;
  descriptor.attr("metadata")["bitstream"] = bitstream;
  return descriptor;
}

nb::object settings_tcl_script(const ProjectSettings& s) {
  nb::object target = nb::type<VexalConfig>()(
      "part"_a = s.part, "clock_period_ns"_a = clock_period_ns(s.clock_period));
  return tcl_script(static_cast<const VexalConfig&>(detail::initialised_record(target)),
                    s.project_name);
}

}  // namespace zelka::host::fpga
