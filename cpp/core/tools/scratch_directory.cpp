#include "core/tools/scratch_directory.hpp"

#include <stdlib.h>

#include <cerrno>
#include <filesystem>

#include "core/errors.hpp"

namespace zelka::tools {

ScratchDirectory::ScratchDirectory(const std::string& prefix) {
  std::error_code error;
  std::string pattern = std::filesystem::temp_directory_path(error).string();
  if (error) throw OSError(error.value(), pattern);
  pattern += "/" + prefix + "XXXXXX";
  if (!::mkdtemp(pattern.data())) throw OSError(errno, pattern);
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace zelka::tools
