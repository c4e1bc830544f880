#include "core/tools/file_bytes.hpp"

#include <cerrno>
#include <cstdio>
#include <memory>

#include "core/errors.hpp"

namespace zelka::tools {

std::string file_bytes(const std::string& path) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                             std::fclose);
  if (!file) throw OSError(errno, path);
  std::string content;
  char buffer[1 << 16];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, file.get()))
    content.append(buffer, n);
  if (std::ferror(file.get())) throw OSError(EIO, path);
  return content;
}

}  // namespace zelka::tools
