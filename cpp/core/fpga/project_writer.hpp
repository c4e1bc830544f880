// Writing a project folder all or nothing: every file goes to a temporary name beside its
// target and is renamed into place only when all of them could be written; any failure
// puts the folder back as it was.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/io/temp_file.hpp"

namespace zelka::fpga {

class ProjectWriter {
 public:
  // `check` (when given) is called before each file is staged and between the megabytes of
  // a large one: an exception it throws (the host's KeyboardInterrupt, say) rolls back.
  explicit ProjectWriter(std::function<void()> check = {}) : check_(std::move(check)) {}
  ~ProjectWriter();  // rolls back unless committed
  ProjectWriter(const ProjectWriter&) = delete;
  ProjectWriter& operator=(const ProjectWriter&) = delete;

  // Creates `dir` and any missing parents; the ones created here are removed on rollback
  // (when empty).  A file in the way is an OSError.
  void make_directories(const std::string& dir);

  // `content` goes to a temporary file beside `target`; commit() moves it into place.
  void stage(const std::string& target, std::string_view content);

  // `target` will be written by someone else before commit(): a file there now is set
  // aside, and on rollback whatever was written there is removed and the old file restored.
  // A folder in the way is an OSError.
  void expect_write(const std::string& target);

  // Moves the staged files into place and drops the files set aside.  If a move fails,
  // everything is rolled back and the OSError propagates.
  void commit();

 private:
  void set_aside(const std::string& target);
  void roll_back() noexcept;

  struct SetAside {
    std::string target;
    std::string backup;  // empty: there was no file
  };
  std::vector<std::string> created_directories_;
  std::vector<SetAside> set_aside_;
  std::vector<io::TempFile> staged_;
  std::function<void()> check_;
  bool committed_ = false;
};

}  // namespace zelka::fpga
