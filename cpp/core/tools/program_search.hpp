// Finding a program on the PATH, as a shell finds the program of a command.
#pragma once

#include <optional>
#include <string>

namespace zelka::tools {

// The path of the program `name` (a name without '/'): `name` joined to the first folder of
// the PATH holding a file of that name that the caller may run and that is no folder.  The
// PATH is the environment variable, or the system's default search path where it is unset;
// an empty entry stands for the current folder (the path is then `name` itself).  Nothing
// when no folder holds one.
std::optional<std::string> find_program(const std::string& name);

// `folder`/`name` when that is a file the caller may run and no folder.
std::optional<std::string> find_program_in(const std::string& name, const std::string& folder);

}  // namespace zelka::tools
