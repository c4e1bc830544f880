// zelka.backend.fpga.vexal: the boards and parts the FPGA backend knows, the target-device
// record VexalConfig and the HLS Tcl script generated for one.
#include <nanobind/nanobind.h>

#include "host/args.hpp"
#include "host/fpga/vexal_config.hpp"
#include "host/python_types.hpp"
#include "host/typed_function.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka::host;
using namespace zelka::host::fpga;
namespace py = zelka::host::python_type;

namespace {

const VexalConfig& vexal_config(nb::handle self) {
  return static_cast<const VexalConfig&>(detail::initialised_record(self));
}

}  // namespace

NB_MODULE(vexal, m) {
  register_core_exceptions();
  nb::dict resources = part_resources_table();
  m.attr("VEXAL_PARTS") = board_parts_table();
  m.attr("VEXAL_RESOURCES") = resources;

  nb::class_<VexalConfig> config_class = bind_record<VexalConfig>(m, vexal_config_layout);
  config_class.def_prop_ro(
      "resources",
      [resources](nb::handle self) -> Returns<py::Amounts> {
        return resources_of(vexal_config(self), resources);
      },
      "The part's row of VEXAL_RESOURCES (resource name -> amount), or a new empty dict.");
  def_typed_static(
      config_class, "for_board",
      [](Arg<py::Str> board) -> Returns<py::VexalConfig> {
        require_str(board, "board");
        return config_for_board(board);
      },
      "board"_a, "The VexalConfig of a board of VEXAL_PARTS (default clock settings).");

  def_typed(
      m, "generate_tcl",
      [](Arg<py::VexalConfig> config, Arg<py::Str> project_name) -> Returns<py::Str> {
        if (!nb::isinstance<VexalConfig>(config))
          raise_argument_type("config", "VexalConfig", config);
        require_str(project_name, "project_name");
        return tcl_script(vexal_config(config), project_name);
      },
      "config"_a, "project_name"_a = "myproject",
      "The Vivado HLS / Vitis HLS Tcl script (build_prj.tcl) for a target device and project.");
}
