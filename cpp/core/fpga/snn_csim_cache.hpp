// The built C simulation an SNN HLS project keeps: a program in the project's csim/ folder
// named after the digest of what its build read, so that a build whose sources and command
// are unchanged is not done again.
#pragma once

#include <string>

namespace zelka::fpga::snn {

// The SHA-256 digest (hexadecimal) of what `compiler` reads to build project `name` of
// `folder`: the build's arguments (csim_build_arguments, the program's path left out) and every
// file below firmware/ and the test bench {name}_tb.cpp, each by its path and content.
// zelka::OSError when a file cannot be read.
std::string csim_sources_digest(const std::string& compiler, const std::string& folder,
                                const std::string& name);

// Where the program built from sources of `digest` is kept: {folder}/csim/{name}_{the digest's
// first 16 digits}.
std::string kept_program_path(const std::string& folder, const std::string& name,
                              const std::string& digest);

// Whether `path` is a regular file its owner may run.
bool is_kept_program(const std::string& path);

// Copies the program `built` to `kept` (made runnable, put in place atomically, its folder made
// when missing) and removes the other programs kept for project `name` beside it.
// zelka::OSError when a file cannot be read or written.
void keep_program(const std::string& built, const std::string& kept, const std::string& name);

}  // namespace zelka::fpga::snn
