#include "host/fpga/rtl_folder.hpp"

#include "core/fpga/rtl_scripts.hpp"
#include "host/fpga/tool_reports.hpp"
#include "host/paths.hpp"

namespace zelka::host::fpga {

DesignFolder design_in(nb::handle project_dir) {
  // The tools run in the project folder: every path is made absolute first.
  DesignFolder design;
  design.folder =
      imported("os").attr("path").attr("abspath")(path_argument(project_dir, "project_dir"));
  design.directory = fs_path(design.folder);
  design.name =
      only_project(design.folder, zelka::fpga::rtl::designs_in(design.directory), "Verilog design",
                   "{name}_rtl_tb.cpp beside an rtl/{name}.v", "write_rtl_project");
  return design;
}

}  // namespace zelka::host::fpga
