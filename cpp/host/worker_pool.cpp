#include "host/worker_pool.hpp"

#include <unistd.h>

#include <algorithm>
#include <deque>
#include <system_error>
#include <thread>

namespace zelka::host {
namespace {

// How long a thread that waits for work or for helpers polls before it sleeps.  A sleeping
// thread that another wakes takes tens of microseconds to run again on some systems (on a
// virtual machine whose idle processor was halted: a tenth of a millisecond seen), as long
// as a short batch's steps; batches called one after another hand their work to threads
// still polling.
constexpr auto poll_before_sleep = std::chrono::microseconds(200);

// Polls `ready` for at most poll_before_sleep; whether it became true.
template <typename Ready>
bool poll(Ready ready) {
  const auto until = std::chrono::steady_clock::now() + poll_before_sleep;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= until) return false;
#if defined(__x86_64__)
    __builtin_ia32_pause();
#endif
  }
  return true;
}

class Pool {
 public:
  void hand(const std::shared_ptr<HelperRuns::State>& runs, std::int64_t count) {
    std::lock_guard lock(mutex_);
    for (std::int64_t i = 0; i < count; ++i) queue_.push_back(runs);
    queued_ = static_cast<std::int64_t>(queue_.size());
    // A thread for every queued run that no idle thread will take.
    while (threads_ - busy_ < static_cast<std::int64_t>(queue_.size())) {
      try {
        std::thread([this] { serve(); }).detach();
      } catch (const std::system_error&) {
        break;  // the queued runs wait for the threads there are
      }
      ++threads_;
    }
    work_.notify_all();
  }

 private:
  void serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (queue_.empty()) {
        lock.unlock();
        poll([&] { return queued_ > 0; });
        lock.lock();
      }
      work_.wait(lock, [&] { return !queue_.empty(); });
      std::shared_ptr<HelperRuns::State> runs = std::move(queue_.front());
      queue_.pop_front();
      queued_ = static_cast<std::int64_t>(queue_.size());
      ++busy_;
      lock.unlock();
      run(*runs);
      lock.lock();
      --busy_;
      // Threads past the core count, started for a batch that asked for more workers, end
      // when no work waits.
      if (queue_.empty() && threads_ > core_count()) {
        --threads_;
        return;
      }
    }
  }

  static void run(HelperRuns::State& runs) {
    {
      std::lock_guard lock(runs.mutex);
      if (runs.withdrawn) return;
      ++runs.running;
    }
    runs.task();
    {
      std::lock_guard lock(runs.mutex);
      --runs.running;
      runs.done = runs.withdrawn && runs.running == 0;
    }
    runs.changed.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable work_;
  std::deque<std::shared_ptr<HelperRuns::State>> queue_;
  std::int64_t threads_ = 0;
  std::int64_t busy_ = 0;
  std::atomic<std::int64_t> queued_ = 0;  // queue_'s size, polled without the lock
};

// The process's pool, made on first use and never destroyed (its threads wait for work
// until the process ends).  A child made by fork() has none of its parent's threads: it
// makes a pool of its own.
Pool& pool() {
  static std::mutex mutex;
  static Pool* current = nullptr;
  static pid_t owner = 0;
  std::lock_guard lock(mutex);
  if (!current || owner != getpid()) {
    current = new Pool();
    owner = getpid();
  }
  return *current;
}

}  // namespace

void HelperRuns::finish(const std::function<void()>& between, std::chrono::milliseconds interval) {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->withdrawn = true;
    if (state_->running == 0) return;
  }
  if (poll([&] { return state_->done.load(); })) return;
  std::unique_lock lock(state_->mutex);
  while (!state_->changed.wait_for(lock, interval, [&] { return state_->running == 0; })) {
    lock.unlock();
    between();
    lock.lock();
  }
}

std::int64_t core_count() {
  static const std::int64_t cores = std::max<std::int64_t>(std::thread::hardware_concurrency(), 1);
  return cores;
}

HelperRuns start_helpers(std::function<void()> task, std::int64_t count) {
  auto state = std::make_shared<HelperRuns::State>();
  state->task = std::move(task);
  if (count > 0) pool().hand(state, count);
  return HelperRuns(std::move(state));
}

}  // namespace zelka::host
