#include "core/fpga/file_tree.hpp"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/errors.hpp"

namespace zelka::fpga {

std::vector<std::pair<std::string, std::string>> read_file_tree(const std::string& root) {
  namespace fs = std::filesystem;
  std::vector<std::pair<std::string, std::string>> files;
  std::error_code error;
  fs::recursive_directory_iterator it(root, error), end;
  if (error) throw OSError(error.value(), root);
  for (; it != end; it.increment(error)) {
    if (error) throw OSError(error.value(), root);
    if (!it->is_regular_file()) continue;
    const std::string path = it->path().string();
    std::ifstream in(path, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) throw OSError(EIO, path);
    files.emplace_back(fs::relative(it->path(), root).generic_string(), std::move(content));
  }
  if (error) throw OSError(error.value(), root);
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace zelka::fpga
