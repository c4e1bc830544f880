// zelka.backend.fpga.hlsbridge: the FPGA backend ("fpga"): validation, capabilities and
// constraints, compile to a hardware descriptor, the build.py generator, and the project
// writer of build_bitstream.
#include <nanobind/nanobind.h>

#include "core/value/json.hpp"
#include "core/value/python_literal.hpp"
#include "host/args.hpp"
#include "host/backend_class.hpp"
#include "host/fpga/bitstream_config.hpp"
#include "host/fpga/build_script.hpp"
#include "host/fpga/fpga_backend.hpp"
#include "host/fpga/fpga_compile.hpp"
#include "host/fpga/project_build.hpp"
#include "host/value_convert.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka;
using namespace zelka::host;
using namespace zelka::host::fpga;

namespace {

const char* const fpga_backend_doc =
    "FPGA backend for ZELKA IR graphs, through hls4ml and Vivado / Vitis HLS.\n\n"
    "- validate(): Check that every node kind has an HLS implementation\n"
    "- compile(): hls4ml configuration, header template paths, board table and, with a\n"
    "  BitstreamConfig, the build.py and build_prj.tcl texts\n"
    "- build_bitstream(): every project artefact; with write_to_disk=True the project\n"
    "  folder (parameters.h, neuron-model headers, build.py, build_prj.tcl,\n"
    "  hls4ml_config.json, model.pt)\n\n"
    "The backend runs no synthesis tool itself and cannot simulate graphs.";

ProjectSettings project_settings(nb::handle output_dir, nb::handle project_name, nb::handle part,
                                 nb::handle clock_period, nb::handle io_type,
                                 nb::handle default_precision, nb::handle default_reuse_factor,
                                 nb::handle strategy) {
  require_str(output_dir, "output_dir");
  require_str(project_name, "project_name");
  require_str(part, "part");
  nb::object clock = int_argument(clock_period, "clock_period");
  require_str(io_type, "io_type");
  require_str(default_precision, "default_precision");
  nb::object reuse = int_argument(default_reuse_factor, "default_reuse_factor");
  require_str(strategy, "strategy");
  return {nb::borrow(output_dir),
          nb::borrow(project_name),
          nb::borrow(part),
          clock,
          nb::borrow(io_type),
          nb::borrow(default_precision),
          reuse,
          nb::borrow(strategy)};
}

void require_bitstream_config_or_none(nb::handle value) {
  if (!value.is_none() && !nb::isinstance<BitstreamConfig>(value))
    raise_argument_type("bitstream_config", "BitstreamConfig", value);
}

nb::object compile_graph(nb::handle self, nb::handle graph, nb::handle, nb::handle output_dir,
                         nb::handle project_name, nb::handle part, nb::handle clock_period,
                         nb::handle io_type, nb::handle default_precision,
                         nb::handle default_reuse_factor, nb::handle strategy,
                         nb::handle bitstream_config) {
  const ProjectSettings settings =
      project_settings(output_dir, project_name, part, clock_period, io_type, default_precision,
                       default_reuse_factor, strategy);
  require_bitstream_config_or_none(bitstream_config);
  return compile(self, graph, settings, bitstream_config);
}

nb::object build(nb::handle self, nb::handle graph, nb::handle output_dir, nb::handle project_name,
                 nb::handle part, nb::handle clock_period, nb::handle io_type,
                 nb::handle default_precision, nb::handle default_reuse_factor, nb::handle strategy,
                 nb::handle bitstream_config, nb::handle write_to_disk, nb::handle pytorch_model) {
  const ProjectSettings settings =
      project_settings(output_dir, project_name, part, clock_period, io_type, default_precision,
                       default_reuse_factor, strategy);
  require_bitstream_config_or_none(bitstream_config);
  return build_bitstream(self, graph, settings, bitstream_config, truth(write_to_disk),
                         pytorch_model);
}

nb::object generate_build_script(nb::handle hls_config, nb::handle bitstream_config,
                                 nb::handle project_name) {
  if (!PyDict_Check(hls_config.ptr())) raise_argument_type("hls_config", "dict", hls_config);
  if (!nb::isinstance<BitstreamConfig>(bitstream_config))
    raise_argument_type("bitstream_config", "BitstreamConfig", bitstream_config);
  require_str(project_name, "project_name");
  return build_script(
      hls_config, static_cast<const BitstreamConfig&>(detail::initialised_record(bitstream_config)),
      project_name);
}

nb::str str_of(const std::string& text) {
  return nb::str(text.data(), text.size());
}

}  // namespace

NB_MODULE(hlsbridge, m) {
  register_core_exceptions();
  nb::module_::import_("zelka.backend.fpga.cfgsmith");
  nb::module_::import_("zelka.backend.fpga.vexal");
  nb::module_::import_("zelka.backend.fpga.templates");

  bind_record<BitstreamConfig>(m, bitstream_config_layout);
  m.attr("_SUPPORTED") = supported_kind_set();
  m.def("generate_build_script", &generate_build_script, "hls_config"_a.none(),
        "bitstream_config"_a.none(), "project_name"_a.none() = "myproject",
        "The text of build.py: the script that converts the project's PyTorch model with\n"
        "hls4ml and, with --bitstream, builds the bitstream.");
  m.def(
      "_python_literal",
      [](nb::handle v) {
        ValueConverter cv;
        return str_of(value::python_literal(cv.to_value(v)));
      },
      "value"_a.none());
  m.def(
      "_json_text",
      [](nb::handle v, nb::handle indent) {
        ValueConverter cv;
        return str_of(
            value::json_text(cv.to_value(v), static_cast<int>(int64_argument(indent, "indent"))));
      },
      "value"_a.none(), "indent"_a.none() = 2);

  BackendClassBuilder(m, "HlsBridge", "fpga", fpga_backend_doc)
      .method(
          "validate", [](nb::handle, nb::handle graph) { return validate(graph); },
          "graph"_a.none(),
          "Check the graph's node kinds and edges; problems are reported in the result's\n"
          "warnings and unsupported_nodes.")
      .method("compile", &compile_graph, "graph"_a.none(), "config"_a.none() = nb::none(),
              "output_dir"_a.none() = "hls4ml_project", "project_name"_a.none() = "myproject",
              "part"_a.none() = "xczu9eg-ffvb1156-2-i", "clock_period"_a.none() = 5,
              "io_type"_a.none() = "io_stream", "default_precision"_a.none() = "ap_fixed<16,6>",
              "default_reuse_factor"_a.none() = 1, "strategy"_a.none() = "Latency",
              "bitstream_config"_a.none() = nb::none(),
              "A HardwareDescriptor whose metadata holds the hls4ml configuration, the\n"
              "neuron-model header paths, the board table and, with a BitstreamConfig, the\n"
              "build.py and build_prj.tcl texts.")
      .method("build_bitstream", &build, "graph"_a.none(), "output_dir"_a.none() = "hls4ml_project",
              "project_name"_a.none() = "myproject", "part"_a.none() = "xczu9eg-ffvb1156-2-i",
              "clock_period"_a.none() = 5, "io_type"_a.none() = "io_stream",
              "default_precision"_a.none() = "ap_fixed<16,6>", "default_reuse_factor"_a.none() = 1,
              "strategy"_a.none() = "Latency", "bitstream_config"_a.none() = nb::none(),
              "write_to_disk"_a.none() = false, "pytorch_model"_a.none() = nb::none(),
              "Every artefact of the hls4ml project; with write_to_disk=True the project\n"
              "folder is written (all files or none) and the model saved as model.pt.")
      .method(
          "get_capabilities", [](nb::handle) { return capabilities(); },
          "The backend's BackendCapabilities.")
      .method(
          "get_constraints", [](nb::handle) { return constraints(); },
          "The backend's HardwareSpec limits.")
      .build();

  nb::object backend = m.attr("HlsBridge")();
  m.attr("_fpga_backend") = backend;
  nb::module_::import_("zelka.backend.registry").attr("register_backend")(backend);
}
