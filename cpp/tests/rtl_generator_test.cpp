// The Verilog design's files for small networks built as core structures: the module library
// as the package's .v files hold it, a top module that instantiates only modules of the
// library, and the Yosys scripts that read them all.
#include <doctest/doctest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "core/fpga/rtl_design.hpp"
#include "core/fpga/rtl_library.hpp"
#include "core/fpga/rtl_memories.hpp"
#include "core/fpga/rtl_scripts.hpp"
#include "core/fpga/rtl_top.hpp"
#include "networks.hpp"

using namespace zelka::testing;
namespace rtl = zelka::fpga::rtl;

namespace {

std::string package_module(const std::string& file_name) {
  std::ifstream in(std::string(ZELKA_VERILOG_FOLDER) + "/" + file_name, std::ios::binary);
  REQUIRE_MESSAGE(in.good(), "the package has no " << file_name);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::set<std::string> matches(const std::string& text, const std::regex& pattern) {
  std::set<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it)
    found.insert((*it)[1]);
  return found;
}

const std::regex declared_module(R"(\bmodule\s+(\w+))");
const std::regex instantiated_module(R"(\b(zelka_\w+)\s+#\()");

}  // namespace

TEST_CASE("the module library is the package's .v files, byte for byte") {
  const rtl::ProjectFiles library = rtl::library_files();
  REQUIRE(library.size() == 7);
  for (const auto& [path, text] : library) {
    CAPTURE(path);
    REQUIRE(path.starts_with("rtl/"));
    const std::string file_name = path.substr(4);
    CHECK(text == package_module(file_name));
    CHECK(text == rtl::module_text(file_name));
    // Each file declares the module it is named after (zelka_memories.v: the memories).
    const std::string stem = file_name.substr(0, file_name.size() - 2);
    if (stem != "zelka_memories") CHECK(matches(text, declared_module).count(stem) == 1);
  }
  CHECK_THROWS_AS(rtl::module_text("zelka_missing.v"), std::logic_error);
}

TEST_CASE("the top module instantiates only the library's modules") {
  std::set<std::string> library_modules;
  for (const auto& [path, text] : rtl::library_files())
    for (const std::string& name : matches(text, declared_module)) library_modules.insert(name);

  const snn::Network net = recurrent_network();
  const snn::Plan plan = snn::plan_network(net);
  for (const std::size_t lanes : {1, 2, 4}) {
    CAPTURE(lanes);
    const rtl::Design design = rtl::design_network(net, plan, lanes);
    const std::string top = rtl::top_module(net, design, "prj");
    CHECK(matches(top, declared_module) == std::set<std::string>{"prj"});
    const std::set<std::string> used = matches(top, instantiated_module);
    CHECK(used.count("zelka_dense") == 1);
    CHECK(used.count("zelka_lif") == 1);
    for (const std::string& name : used) {
      CAPTURE(name);
      CHECK(library_modules.count(name) == 1);
    }
    CHECK(top.find("endmodule") != std::string::npos);
  }
}

TEST_CASE("every Yosys script reads the library and the top module and names its target") {
  std::string files;
  for (const auto& [path, text] : rtl::library_files()) files += path + " ";
  files += "rtl/prj.v";
  const rtl::ProjectFiles scripts = rtl::yosys_scripts("prj");
  REQUIRE(scripts.size() == rtl::targets.size());
  for (std::size_t t = 0; t < scripts.size(); ++t) {
    const auto& [name, text] = scripts[t];
    const std::string target(rtl::targets[t].name);
    CAPTURE(name);
    CHECK(name == "yosys_" + target + ".ys");
    CHECK(text.find(files) != std::string::npos);
    CHECK(text.find("hierarchy -check -top prj") != std::string::npos);
    CHECK(text.find(std::string(rtl::targets[t].synthesis) + " -top prj") != std::string::npos);
    CHECK(text.find("build/" + target + "/statistics.json") != std::string::npos);
  }
}

TEST_CASE("memory files hold the constants' bits lane by lane, two's complement") {
  const snn::Network net =
      network_of({input_node("x", {1, 0.5, 0.25}),
                  dense_node("fc", 1, {0}, {{1, 2, 3}, {4, -5, 6}}, {0.5, -0.5}),
                  lif_node("lif", 2, {1}, 2), output_node("y", {2})});
  const snn::Plan plan = snn::plan_network(net);
  CHECK(rtl::stored_bits(-0.5, fixed(16, 6)) == 0xfe00);
  CHECK(rtl::stored_bits(-32.0, fixed(16, 6)) == 0x8000);
  CHECK(rtl::stored_bits(0.75, fixed(4, 2)) == 0x3);
  SUBCASE("two lanes: one word per input, output 1 in the high lane") {
    const rtl::ProjectFiles files = rtl::memory_files(net, rtl::design_network(net, plan, 2));
    CHECK(files[0] ==
          std::pair<std::string, std::string>{"rtl/w1.mem", "10000400\nec000800\n18000c00\n"});
    CHECK(files[1] == std::pair<std::string, std::string>{"rtl/b1.mem", "fe000200\n"});
  }
  SUBCASE("more lanes than outputs: the lanes past them are zero") {
    const rtl::ProjectFiles files = rtl::memory_files(net, rtl::design_network(net, plan, 3));
    CHECK(files[0].second == "000010000400\n0000ec000800\n000018000c00\n");
  }
}
