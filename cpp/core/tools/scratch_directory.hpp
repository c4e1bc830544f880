// A folder of the caller's own for files no one else needs, made in the system's folder for
// temporary files and removed, with everything in it, when the object goes.
#pragma once

#include <string>

namespace zelka::tools {

class ScratchDirectory {
 public:
  // A new folder named `prefix` and six random characters, in $TMPDIR (/tmp where it is
  // unset); zelka::OSError when it cannot be made.
  explicit ScratchDirectory(const std::string& prefix);
  // Removes the folder; a file that cannot be removed is left behind.
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace zelka::tools
