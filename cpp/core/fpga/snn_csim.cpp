#include "core/fpga/snn_csim.hpp"

#include <sys/stat.h>

#include <filesystem>

#include "core/errors.hpp"

namespace zelka::fpga::snn {
namespace {

constexpr std::string_view testbench_suffix = "_tb.cpp";

bool is_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::vector<std::string> projects_in(const std::string& folder) {
  return projects_marked_in(folder, testbench_suffix, "firmware/", ".cpp");
}

std::vector<std::string> projects_marked_in(const std::string& folder, std::string_view suffix,
                                            std::string_view companion_prefix,
                                            std::string_view companion_suffix) {
  std::vector<std::string> names;
  std::error_code error;
  std::filesystem::directory_iterator entry(folder, error), end;
  for (; !error && entry != end; entry.increment(error)) {
    const std::string file = entry->path().filename().string();
    if (!file.ends_with(suffix)) continue;
    const std::string name = file.substr(0, file.size() - suffix.size());
    const std::string companion =
        std::string(companion_prefix) + name + std::string(companion_suffix);
    if (is_file(folder + "/" + file) && is_file(folder + "/" + companion)) names.push_back(name);
  }
  if (error) throw OSError(error.value(), folder);
  return names;
}

std::vector<std::string> csim_build_arguments(const std::string& compiler,
                                              const std::string& folder, const std::string& name,
                                              const std::string& program) {
  const std::string firmware = folder + "/firmware";
  // Without exceptions: g++ would otherwise guard the construction of every element of the
  // constant arrays (ap_fixed from a double literal) with a cleanup region of its own, which
  // takes a minute for the ten thousand weights of a 64-128-10 network; neither the firmware
  // nor the test bench throws.
  return {compiler,
          "-std=c++14",
          "-O1",
          "-fno-exceptions",
          "-I",
          firmware,
          "-I",
          firmware + "/ap_types",
          firmware + "/" + name + ".cpp",
          folder + "/" + name + "_tb.cpp",
          "-o",
          program};
}

}  // namespace zelka::fpga::snn
