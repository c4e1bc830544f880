#include "core/fpga/project_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>

#include "core/errors.hpp"

namespace zelka::fpga {
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

// A new empty file with a hidden unique name beside `target`.
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

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

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

ProjectWriter::~ProjectWriter() {
  if (!committed_) roll_back();
}

void ProjectWriter::make_directories(const std::string& dir) {
  std::size_t end = 0;
  while (end != std::string::npos) {
    end = dir.find('/', end + 1);
    const std::string prefix = dir.substr(0, end);
    if (prefix.empty() || prefix.back() == '/') continue;
    if (::mkdir(prefix.c_str(), 0777) == 0) {
      created_directories_.push_back(prefix);
    } else if (errno != EEXIST) {
      throw OSError(errno, prefix);
    } else if (!is_directory(prefix)) {
      throw OSError(EEXIST, prefix);
    }
  }
}

void ProjectWriter::set_aside(const std::string& target) {
  struct stat st;
  if (::lstat(target.c_str(), &st) != 0) {
    if (errno != ENOENT) throw OSError(errno, target);
    set_aside_.push_back({target, ""});
    return;
  }
  if (S_ISDIR(st.st_mode)) throw OSError(EISDIR, target);
  std::string backup = create_unique_beside(target);
  if (::rename(target.c_str(), backup.c_str()) != 0) {
    const int error = errno;
    ::unlink(backup.c_str());
    throw OSError(error, target);
  }
  set_aside_.push_back({target, std::move(backup)});
}

void ProjectWriter::stage(const std::string& target, std::string_view content) {
  if (check_) check_();
  set_aside(target);
  TempFile file(target);
  file.write(content, check_);
  staged_.push_back(std::move(file));
}

void ProjectWriter::expect_write(const std::string& target) {
  set_aside(target);
}

void ProjectWriter::commit() {
  for (TempFile& file : staged_) file.move_into_place();
  for (const SetAside& entry : set_aside_)
    if (!entry.backup.empty()) ::unlink(entry.backup.c_str());
  committed_ = true;
}

void ProjectWriter::roll_back() noexcept {
  staged_.clear();
  for (auto it = set_aside_.rbegin(); it != set_aside_.rend(); ++it) {
    ::unlink(it->target.c_str());
    if (!it->backup.empty()) ::rename(it->backup.c_str(), it->target.c_str());
  }
  for (auto it = created_directories_.rbegin(); it != created_directories_.rend(); ++it)
    ::rmdir(it->c_str());
}

}  // namespace zelka::fpga
