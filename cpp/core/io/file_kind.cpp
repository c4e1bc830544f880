#include "core/io/file_kind.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "core/io/quoted.hpp"

namespace zelka::io {

std::string_view file_kind(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "a file of an unknown kind";
}

NotRegularFile::NotRegularFile(std::string about, std::string_view what_it_is)
    : ValueError(quoted(about) + " is " + std::string(what_it_is) + ", not a regular file"),
      path(std::move(about)),
      kind(what_it_is) {}

void require_regular_or_absent(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return;
    throw OSError(errno, path);
  }
  if (!S_ISREG(st.st_mode)) throw NotRegularFile(path, file_kind(st.st_mode));
}

}  // namespace zelka::io
