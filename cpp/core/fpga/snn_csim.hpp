// The C simulation of an SNN HLS project as files and a command: where a folder holds a
// project, and the g++ command that builds its firmware and test bench into one program.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelka::fpga::snn {

// The names of the projects in `folder`: each {name} of a regular file {name}_tb.cpp in it
// beside a regular file firmware/{name}.cpp, in the order the folder lists them.
// zelka::OSError when the folder cannot be listed.
std::vector<std::string> projects_in(const std::string& folder);

// The names of the projects in `folder` that files mark: each {name} of a regular file
// {name}{suffix} in it beside a regular file {companion_prefix}{name}{companion_suffix}, in
// the order the folder lists them.  zelka::OSError when the folder cannot be listed.
std::vector<std::string> projects_marked_in(const std::string& folder, std::string_view suffix,
                                            std::string_view companion_prefix,
                                            std::string_view companion_suffix);

// The arguments of `compiler` building project `name` of `folder` into `program`: C++14,
// optimised (-O1), without exceptions, against the headers copied into the project's firmware
// folder.
std::vector<std::string> csim_build_arguments(const std::string& compiler,
                                              const std::string& folder, const std::string& name,
                                              const std::string& program);

}  // namespace zelka::fpga::snn
