#include "core/io/whole_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/errors.hpp"
#include "core/io/file_kind.hpp"

namespace zelka::io {

std::string read_whole_file(const std::string& path, const std::function<void()>& between_chunks) {
  constexpr std::size_t chunk = std::size_t{4} << 20;
  // Checked before opening, so that no device or socket is opened, and again on what was
  // opened (without waiting for a FIFO's writer), in case the path changed in between.
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw NotRegularFile(path, file_kind(st.st_mode));
  struct Descriptor {  // closed on every way out
    int fd;
    ~Descriptor() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (file.fd < 0) throw OSError(errno, path);
  if (::fstat(file.fd, &st) != 0) throw OSError(errno, path);
  if (!S_ISREG(st.st_mode)) throw NotRegularFile(path, file_kind(st.st_mode));
  // What the file held when it was opened: a file that grows meanwhile is read no further.
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (done > 0 && between_chunks) between_chunks();
    const ssize_t n = ::read(file.fd, bytes.data() + done, std::min(bytes.size() - done, chunk));
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
