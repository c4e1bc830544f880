// Threads kept for the life of the process that take the helpers' share of a batch, so that
// a batch on several workers does not start and join its threads on every call (which
// costs a tenth of a millisecond a thread on some systems, as much as a short run's steps).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace zelka::host {

// `count` runs of one task handed to the pool's threads.  finish() withdraws the runs no
// thread has begun and waits for those that have: the caller shares the same work (the
// runs take blocks from a common counter), so a run that begins late would find none left.
class HelperRuns {
 public:
  HelperRuns(const HelperRuns&) = delete;
  HelperRuns& operator=(const HelperRuns&) = delete;
  HelperRuns(HelperRuns&&) = default;
  ~HelperRuns() {
    finish([] {});
  }

  // Waits for the runs that began, calling `between` every `interval` meanwhile.
  void finish(const std::function<void()>& between,
              std::chrono::milliseconds interval = std::chrono::milliseconds(50));

  struct State {
    std::function<void()> task;
    std::mutex mutex;
    std::condition_variable changed;
    bool withdrawn = false;
    std::int64_t running = 0;
    std::atomic<bool> done = false;  // withdrawn and none running: finish() may return
  };

 private:
  friend HelperRuns start_helpers(std::function<void()> task, std::int64_t count);
  explicit HelperRuns(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

// The cores the system reports, read once: it reads them from files, which takes longer
// than a small batch runs.
std::int64_t core_count();

// Hands `count` runs of `task` to the process's pool, starting threads up to that many
// (fewer when the system refuses to start more, the runs then waiting for a free thread).
// The task must not throw.  Call without holding the interpreter's lock when the task may
// wait on it.
HelperRuns start_helpers(std::function<void()> task, std::int64_t count);

}  // namespace zelka::host
