// The built programs a project keeps (the SNN HLS project's C simulation in csim/, the Verilog
// design's Verilator test bench in verilated/): a program in the project's folder for them
// named after the digest of what its build read, so that a build whose sources and command
// are unchanged is not done again, and after the digest of its own bytes, so that a program
// damaged or cut short since is never run.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelka::fpga::snn {

// The SHA-256 digest (hexadecimal) of what `compiler` reads to build project `name` of
// `folder`: the build's arguments (csim_build_arguments, the program's path left out) and every
// file below firmware/ and the test bench {name}_tb.cpp, each by its path and content.
// zelka::OSError when a file cannot be read.
std::string csim_sources_digest(const std::string& compiler, const std::string& folder,
                                const std::string& name);

// The SHA-256 digest (hexadecimal) of a build's `arguments` and the files `sources` (paths
// relative to `folder`), each by its path and content, and of every file below the folders
// `source_folders` of `folder`.  zelka::OSError when a file cannot be read.
std::string sources_digest(const std::vector<std::string>& arguments, const std::string& folder,
                           const std::vector<std::string>& source_folders,
                           const std::vector<std::string>& sources);

// The folders of `folder` the kept programs go to.
inline constexpr std::string_view csim_kept_folder = "csim";
inline constexpr std::string_view verilated_kept_folder = "verilated";

// The program kept in `kept_in` for project `name` of `folder` built from sources of `digest`:
// {folder}/{kept_in}/{name}_{the first 16 digits of digest}_{the first 16 of the program's own
// SHA-256}, a regular file its owner may run whose bytes still have that digest.  A program
// of these sources that fails the check (damaged, cut short, not runnable) is removed; nullopt
// when none passes.
std::optional<std::string> find_kept_program(const std::string& folder, std::string_view kept_in,
                                             const std::string& name, const std::string& digest);

// Copies the program `built` into {folder}/{kept_in}/ under the name find_kept_program looks for
// (made runnable, put in place atomically, the folder made when missing), removes the other
// programs kept for project `name` there, and returns the kept program's path.
// zelka::OSError when a file cannot be read or written.
std::string keep_program(const std::string& built, const std::string& folder,
                         std::string_view kept_in, const std::string& name,
                         const std::string& digest);

}  // namespace zelka::fpga::snn
