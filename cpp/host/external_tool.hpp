// External tools run for Python callers: zelka::tools::run_command with the interpreter lock
// released while the tool runs and the host's signal handlers run every few tens of
// milliseconds, so that Ctrl-C (a real SIGINT or _thread.interrupt_main) stops the tool: its
// process group is killed and reaped, then the KeyboardInterrupt (or whatever a handler
// raised) propagates.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "core/tools/command.hpp"
#include "host/python.hpp"

namespace zelka::host {

// What a run is, for its TimeoutError: "{what} did not finish within {seconds} s
// ({timeout_argument})".
struct ToolRun {
  std::string what;              // "the build of the C simulation of '/prj' (g++)"
  const char* timeout_argument;  // the argument that set the command's timeout
};

// The result of a tool that ran to its end, by itself or by a signal from elsewhere.
// TimeoutError when its timeout passed, the host's exception when a signal handler raised
// one, OSError when the program cannot be started.
tools::CommandResult run_tool(tools::Command command, const ToolRun& run);

// A timeout argument: None or infinity (no limit), or a positive number of seconds.
// ValueError naming the argument for another number, TypeError for what is no number.
std::optional<std::chrono::nanoseconds> timeout_argument(nb::handle value, const char* name);

// Bytes a tool printed as text for a message, undecodable bytes replaced.
nb::str printed_text(const std::string& bytes);

// The last 30 lines of what a tool printed, as printed_text.
nb::object printed_tail(const std::string& bytes);

}  // namespace zelka::host
