#include "core/io/whole_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/errors.hpp"

namespace zelka::io {

std::string read_whole_file(const std::string& path) {
  struct Descriptor {  // closed on every way out
    int fd;
    ~Descriptor() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) throw OSError(errno, path);
  struct stat st;
  if (::fstat(file.fd, &st) != 0) throw OSError(errno, path);
  if (S_ISDIR(st.st_mode)) throw OSError(EISDIR, path);
  std::string bytes;
  // The size is a hint: the file may change while it is read, and the loop reads to its end.
  bytes.resize(S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) + 1 : 1 << 16);
  std::size_t done = 0;
  while (true) {
    if (done == bytes.size()) bytes.resize(bytes.size() * 2);
    const ssize_t n = ::read(file.fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw OSError(errno, path);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

}  // namespace zelka::io
