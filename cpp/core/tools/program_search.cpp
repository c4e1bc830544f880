#include "core/tools/program_search.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace zelka::tools {
namespace {

std::string search_path() {
  if (const char* variable = std::getenv("PATH")) return variable;
  const std::size_t size = ::confstr(_CS_PATH, nullptr, 0);
  if (size <= 1) return "/bin:/usr/bin";
  std::string path(size, '\0');
  ::confstr(_CS_PATH, path.data(), size);
  path.pop_back();
  return path;
}

bool is_runnable_file(const std::string& path) {
  struct stat st;
  return ::access(path.c_str(), X_OK) == 0 && ::stat(path.c_str(), &st) == 0 &&
         !S_ISDIR(st.st_mode);
}

}  // namespace

std::optional<std::string> find_program(const std::string& name) {
  const std::string path = search_path();
  if (path.empty()) return std::nullopt;
  for (std::size_t start = 0;;) {
    const std::size_t colon = path.find(':', start);
    const std::string folder = path.substr(start, colon - start);
    const std::string candidate = folder.empty()         ? name
                                  : folder.back() == '/' ? folder + name
                                                         : folder + "/" + name;
    if (is_runnable_file(candidate)) return candidate;
    if (colon == std::string::npos) return std::nullopt;
    start = colon + 1;
  }
}

std::optional<std::string> find_program_in(const std::string& name, const std::string& folder) {
  const std::string candidate = folder + "/" + name;
  if (is_runnable_file(candidate)) return candidate;
  return std::nullopt;
}

}  // namespace zelka::tools
