#include "core/tools/command.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/errors.hpp"

namespace zelka::tools {
namespace {

using Clock = std::chrono::steady_clock;

// How often stop_requested is asked, and the longest a wait for output lasts.
constexpr std::chrono::milliseconds check_interval{50};

// `fd` moved to a number above the standard streams (so that placing the child's streams
// cannot overwrite it), close-on-exec.
int above_standard_streams(int fd, const std::string& program) {
  if (fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int error = errno;
  ::close(fd);
  if (moved < 0) throw OSError(error, program);
  return moved;
}

// A pipe from the child to the caller: the child writes one end as its stdout or stderr, the
// caller reads the other until the end of file.
class OutputPipe {
 public:
  explicit OutputPipe(const std::string& program) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw OSError(errno, program);
    read_end_ = fds[0];
    write_end_ = fds[1];
    read_end_ = above_standard_streams(read_end_, program);
    write_end_ = above_standard_streams(write_end_, program);
  }
  ~OutputPipe() {
    close_write_end();
    close_read_end();
  }
  OutputPipe(const OutputPipe&) = delete;
  OutputPipe& operator=(const OutputPipe&) = delete;

  int write_end() const { return write_end_; }
  int read_end() const { return read_end_; }
  bool open() const { return read_end_ >= 0; }

  void close_write_end() {
    if (write_end_ >= 0) ::close(write_end_);
    write_end_ = -1;
  }

  // Appends what can be read now to `out`; closes the read end at the end of file.
  void read_into(std::string& out, const std::string& program) {
    char buffer[65536];
    const ssize_t n = ::read(read_end_, buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      close_read_end();
    } else if (errno != EINTR && errno != EAGAIN) {
      throw OSError(errno, program);
    }
  }

 private:
  void close_read_end() {
    if (read_end_ >= 0) ::close(read_end_);
    read_end_ = -1;
  }

  int read_end_ = -1, write_end_ = -1;
};

// The child, leader of its own process group, and everything in that group.  The child is
// reaped only after the group has been killed: until then its process ID stays taken, so
// the group's ID cannot name another process's group.
class ChildGroup {
 public:
  explicit ChildGroup(pid_t pid) : pid_(pid) {}
  ~ChildGroup() {
    if (pid_ <= 0) return;
    kill_group();
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  ChildGroup(const ChildGroup&) = delete;
  ChildGroup& operator=(const ChildGroup&) = delete;

  // Whether the child has ended (it stays unreaped).
  bool ended() {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
      if (errno == EINTR) continue;
      reaped_elsewhere_ = true;  // the process ignores SIGCHLD, or another part reaped it
      return true;
    }
    return info.si_pid == pid_;
  }

  // Kills every process of the group, unless the child was reaped elsewhere: its process ID,
  // and so the group's, may then name another process.
  void kill_group() const {
    if (!reaped_elsewhere_) ::kill(-pid_, SIGKILL);
  }

  // Waits for the child's end and collects it; its wait status, or ECHILD's OSError when
  // another part of the process took it first.
  int reap(const std::string& program) {
    int status = 0;
    pid_t done;
    while ((done = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    const int error = errno;
    pid_ = -1;
    if (done < 0) throw OSError(error, program);
    return status;
  }

 private:
  pid_t pid_;
  bool reaped_elsewhere_ = false;
};

// Starts the child in a process group of its own, its stdin reading /dev/null, its stdout and
// stderr writing the pipes, with the signal mask cleared and SIGPIPE and SIGXFSZ (which
// interpreters ignore) back to their default action.
pid_t spawn(const Command& command, int output, int errors) {
  const std::string& program = command.arguments.front();
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  struct Release {
    posix_spawn_file_actions_t& actions;
    posix_spawnattr_t& attributes;
    ~Release() {
      posix_spawn_file_actions_destroy(&actions);
      posix_spawnattr_destroy(&attributes);
    }
  } release{actions, attributes};

  posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errors, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (!command.working_directory.empty())
    posix_spawn_file_actions_addchdir_np(&actions, command.working_directory.c_str());
  sigset_t no_signals, default_actions;
  sigemptyset(&no_signals);
  sigemptyset(&default_actions);
  sigaddset(&default_actions, SIGPIPE);
  sigaddset(&default_actions, SIGXFSZ);
  posix_spawnattr_setsigmask(&attributes, &no_signals);
  posix_spawnattr_setsigdefault(&attributes, &default_actions);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  for (const std::string& argument : command.arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  const int error =
      ::posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  if (error != 0) throw OSError(error, program);
  return pid;
}

void require_directory(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw OSError(errno, path);
  if (!S_ISDIR(st.st_mode)) throw OSError(ENOTDIR, path);
}

}  // namespace

CommandResult run_command(const Command& command) {
  if (command.arguments.empty()) throw ValueError("run_command: no program to run");
  const std::string& program = command.arguments.front();
  if (!command.working_directory.empty()) require_directory(command.working_directory);
  const auto start = Clock::now();
  OutputPipe output(program), errors(program);
  ChildGroup child(spawn(command, output.write_end(), errors.write_end()));
  output.close_write_end();
  errors.close_write_end();

  CommandResult result;
  bool child_ended = false;
  auto last_check = start;
  for (;;) {
    if (!child_ended && child.ended()) {
      child_ended = true;
      child.kill_group();  // whatever the tool left running in its group
    }
    if (child_ended && !output.open() && !errors.open()) break;
    const auto now = Clock::now();
    auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(check_interval);
    if (command.timeout) {
      if (now - start >= *command.timeout) {
        result.end = CommandEnd::timed_out;
        break;
      }
      wait = std::min(wait, *command.timeout - (now - start));
    }
    if (command.stop_requested && now - last_check >= check_interval) {
      last_check = now;
      if (command.stop_requested()) {
        result.end = CommandEnd::stopped;
        break;
      }
    }
    struct Stream {
      OutputPipe& pipe;
      std::string& into;
    };
    Stream streams[] = {{output, result.output}, {errors, result.errors}};
    pollfd fds[2];
    Stream* polled[2];
    nfds_t count = 0;
    for (Stream& stream : streams) {
      if (!stream.pipe.open()) continue;
      fds[count] = {stream.pipe.read_end(), POLLIN, 0};
      polled[count++] = &stream;
    }
    // With both streams closed the tool is about to end: look again soon.
    if (count == 0) wait = std::min<std::chrono::nanoseconds>(wait, std::chrono::milliseconds(2));
    const auto wait_ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
    if (::poll(fds, count, static_cast<int>(std::max<std::int64_t>(1, wait_ms))) < 0) {
      if (errno == EINTR) continue;
      throw OSError(errno, program);
    }
    for (nfds_t i = 0; i < count; ++i)
      if (fds[i].revents) polled[i]->pipe.read_into(polled[i]->into, program);
  }
  if (result.end != CommandEnd::exited) child.kill_group();
  const int status = child.reap(program);
  result.elapsed = Clock::now() - start;
  if (result.end == CommandEnd::exited) {
    if (WIFSIGNALED(status)) {
      result.end = CommandEnd::signalled;
      result.status = WTERMSIG(status);
    } else {
      result.status = WEXITSTATUS(status);
    }
  }
  return result;
}

}  // namespace zelka::tools
