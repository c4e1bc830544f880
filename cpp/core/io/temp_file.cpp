#include "core/io/temp_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <random>

#include "core/errors.hpp"

namespace zelka::io {
namespace {

// "dir/.name.<random>.tmp" beside "dir/name".
std::string hidden_name_beside(const std::string& target) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  static const char hex[] = "0123456789abcdef";
  const std::size_t slash = target.rfind('/');
  const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  std::string suffix;
  std::uint64_t bits = random();
  for (int i = 0; i < 12; ++i, bits >>= 4) suffix += hex[bits & 15];
  return target.substr(0, name_start) + "." + target.substr(name_start) + "." + suffix + ".tmp";
}

}  // namespace

std::string create_unique_beside(const std::string& target) {
  for (int attempt = 0;; ++attempt) {
    std::string path = hidden_name_beside(target);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST || attempt == 100) throw OSError(errno, target);
  }
}

TempFile::TempFile(const std::string& target)
    : target_(target), path_(create_unique_beside(target)) {}

TempFile::TempFile(TempFile&& other) noexcept
    : target_(std::move(other.target_)), path_(std::move(other.path_)) {
  other.path_.clear();
}

TempFile::~TempFile() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

void TempFile::write(std::string_view content, const std::function<void()>& between_chunks) const {
  constexpr std::size_t chunk = std::size_t{1} << 20;
  struct Descriptor {  // closed on every way out
    int fd;
    ~Descriptor() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC)};
  if (file.fd < 0) throw OSError(errno, target_);
  std::size_t done = 0;
  while (done < content.size()) {
    if (done > 0 && between_chunks) between_chunks();
    const ssize_t n =
        ::write(file.fd, content.data() + done, std::min(content.size() - done, chunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw OSError(errno, target_);
    }
    done += static_cast<std::size_t>(n);
  }
  const int closed = ::close(file.fd);
  file.fd = -1;
  if (closed != 0) throw OSError(errno, target_);
}

void TempFile::move_into_place() {
  if (::rename(path_.c_str(), target_.c_str()) != 0) throw OSError(errno, target_);
  path_.clear();
}

}  // namespace zelka::io
