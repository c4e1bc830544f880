#include "core/fpga/rtl_library.hpp"

namespace zelka::fpga::rtl {
namespace {

// The package's module files, in the order the project lists them.
constexpr std::string_view module_files[] = {
    "zelka_fixed_convert.v", "zelka_memories.v", "zelka_align.v", "zelka_sweep.v",
    "zelka_copy.v",          "zelka_dense.v",    "zelka_lif.v",
};

}  // namespace

ProjectFiles library_files() {
  ProjectFiles files;
  for (const std::string_view name : module_files)
    files.emplace_back("rtl/" + std::string(name), std::string(module_text(name)));
  return files;
}

}  // namespace zelka::fpga::rtl
