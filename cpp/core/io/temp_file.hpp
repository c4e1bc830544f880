// A file written under a hidden temporary name beside its target and renamed onto it in
// one step, so that readers of the target see the old file or the whole new one.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace zelka::io {

// A new, empty file with a hidden unique name ("dir/.name.<random>.tmp") beside `target`;
// its path.  Paths are file-system bytes; failures throw OSError naming the target.
std::string create_unique_beside(const std::string& target);

// A new, empty file with a unique hidden name in the folder of `target`, removed again
// unless it is moved onto the target.  Paths are file-system bytes; failures throw OSError.
class TempFile {
 public:
  explicit TempFile(const std::string& target);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  TempFile(TempFile&& other) noexcept;
  TempFile& operator=(TempFile&&) = delete;

  const std::string& path() const { return path_; }
  // Writes `content`, calling `between_chunks` (when given) between its megabytes.
  void write(std::string_view content, const std::function<void()>& between_chunks = {}) const;
  // Atomically replaces the target with this file.
  void move_into_place();

 private:
  std::string target_;
  std::string path_;  // empty once moved into place
};

}  // namespace zelka::io
