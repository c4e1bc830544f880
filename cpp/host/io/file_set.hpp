// A set of files written into one folder all or nothing, for the package's Python side
// (the HLS headers a project receives).
#pragma once

#include "host/python.hpp"

namespace zelka::host::io {

// Writes each (name, bytes) pair of `files` (a sequence) as folder/name, creating the folder
// and its missing parents: every file goes to a temporary name first and all are renamed into
// place only when every one is complete, so a failure (or Ctrl-C) leaves the folder as it was.
// `folder` is a str, bytes or os.PathLike path; TypeError for names that are not str or
// contents that are not bytes; OSError from the file system.
void write_files(nb::handle folder, nb::handle files);

}  // namespace zelka::host::io
