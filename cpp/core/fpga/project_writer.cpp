#include "core/fpga/project_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/errors.hpp"

namespace zelka::fpga {
namespace {

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

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
  std::string backup = io::create_unique_beside(target);
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
  io::TempFile file(target);
  file.write(content, check_);
  staged_.push_back(std::move(file));
}

void ProjectWriter::expect_write(const std::string& target) {
  set_aside(target);
}

void ProjectWriter::commit() {
  for (io::TempFile& file : staged_) file.move_into_place();
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
