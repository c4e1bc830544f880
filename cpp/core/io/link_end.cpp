#include "core/io/link_end.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/errors.hpp"

namespace zelka::io {
namespace {

// The most links followed, as the system's own path lookup allows (Linux's limit).
constexpr int max_links = 40;

// The target of the symbolic link `link`.
std::string link_target(const std::string& link) {
  std::string target(256, '\0');
  while (true) {
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
    if (n < 0) throw OSError(errno, link);
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

}  // namespace

std::string link_end(const std::string& path) {
  std::string at = path;
  for (int followed = 0;; ++followed) {
    struct stat st;
    if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
    if (followed == max_links) throw OSError(ELOOP, path);
    const std::string target = link_target(at);
    const std::size_t slash = at.rfind('/');
    at = target.starts_with('/') || slash == std::string::npos ? target
                                                               : at.substr(0, slash + 1) + target;
  }
}

}  // namespace zelka::io
