// Running an external tool (a compiler, a test bench, a simulator, a synthesis tool) as a child
// process: its arguments passed as they are, never through a shell; its standard output and
// error captured as bytes; its run bounded by a timeout and stoppable by the caller.
//
// The child leads a process group of its own, so that stopping it stops whatever it started
// too (g++ runs cc1plus, as and ld), and a terminal's Ctrl-C reaches the caller only, which
// decides.  Whatever way the run ends (the tool exits, the timeout passes, the caller stops
// it, an exception leaves run_command), every process left in the group is killed and the
// child is reaped: no zombie of the caller's and no orphan of the tool remain.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zelka::tools {

struct Command {
  // The program, then its arguments.  A program without '/' is looked up on the PATH.
  std::vector<std::string> arguments;
  // The folder the tool runs in; empty: the caller's.
  std::string working_directory;
  // How long the tool may run; none: without limit.
  std::optional<std::chrono::nanoseconds> timeout;
  // Asked every few tens of milliseconds while the tool runs; true stops it.  An exception
  // it throws stops the tool as well and then leaves run_command.
  std::function<bool()> stop_requested;
};

enum class CommandEnd {
  exited,     // status is the exit status
  signalled,  // status is the number of the signal that ended the tool
  timed_out,  // the timeout passed; the tool was killed
  stopped,    // stop_requested said so; the tool was killed
};

struct CommandResult {
  CommandEnd end = CommandEnd::exited;
  int status = 0;
  std::string output, errors;  // standard output and standard error, as bytes
  std::chrono::nanoseconds elapsed{0};
};

// Runs the command to its end.  zelka::OSError naming the program when it cannot be started
// (not found, not executable, no such working directory).
CommandResult run_command(const Command& command);

}  // namespace zelka::tools
