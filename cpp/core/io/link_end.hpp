// Following a chain of symbolic links to the path it ends at, so that a file can be replaced
// where a link points instead of replacing the link.
#pragma once

#include <string>

namespace zelka::io {

// The path `path` (file-system bytes) ends at once every symbolic link in its last component
// is followed: `path` itself when that is no link, else the end of the chain of links it starts
// (a relative target taken from the link's folder), whether or not that end exists.  The
// folders on the way are left as they are: the file system follows them.  OSError naming `path`
// (ELOOP) for a chain of more than 40 links, or naming the link that cannot be read.
std::string link_end(const std::string& path);

}  // namespace zelka::io
