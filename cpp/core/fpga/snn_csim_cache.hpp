// The built C simulation an SNN HLS project keeps: a program in the project's csim/ folder
// named after the digest of what its build read, so that a build whose sources and command
// are unchanged is not done again, and after the digest of its own bytes, so that a program
// damaged or cut short since is never run.
#pragma once

#include <optional>
#include <string>

namespace zelka::fpga::snn {

// The SHA-256 digest (hexadecimal) of what `compiler` reads to build project `name` of
// `folder`: the build's arguments (csim_build_arguments, the program's path left out) and every
// file below firmware/ and the test bench {name}_tb.cpp, each by its path and content.
// zelka::OSError when a file cannot be read.
std::string csim_sources_digest(const std::string& compiler, const std::string& folder,
                                const std::string& name);

// The program kept for project `name` of `folder` built from sources of `digest`:
// {folder}/csim/{name}_{the first 16 digits of digest}_{the first 16 of the program's own
// SHA-256}, a regular file its owner may run whose bytes still have that digest.  A program
// of these sources that fails the check (damaged, cut short, not runnable) is removed; nullopt
// when none passes.
std::optional<std::string> find_kept_program(const std::string& folder, const std::string& name,
                                             const std::string& digest);

// Copies the program `built` into {folder}/csim/ under the name find_kept_program looks for
// (made runnable, put in place atomically, the folder made when missing), removes the other
// programs kept for project `name` there, and returns the kept program's path.
// zelka::OSError when a file cannot be read or written.
std::string keep_program(const std::string& built, const std::string& folder,
                         const std::string& name, const std::string& digest);

}  // namespace zelka::fpga::snn
