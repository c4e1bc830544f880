#include "host/cpu/worker_pool.hpp"

#include <unistd.h>

#include <algorithm>
#include <deque>
#include <system_error>
#include <thread>

namespace zelka::host::cpu {
namespace {

class Pool {
 public:
  void hand(const std::shared_ptr<HelperRuns::State>& runs, std::int64_t count) {
    std::lock_guard lock(mutex_);
    for (std::int64_t i = 0; i < count; ++i) queue_.push_back(runs);
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
      work_.wait(lock, [&] { return !queue_.empty(); });
      std::shared_ptr<HelperRuns::State> runs = std::move(queue_.front());
      queue_.pop_front();
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
    }
    runs.changed.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable work_;
  std::deque<std::shared_ptr<HelperRuns::State>> queue_;
  std::int64_t threads_ = 0;
  std::int64_t busy_ = 0;
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
  std::unique_lock lock(state_->mutex);
  state_->withdrawn = true;
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

}  // namespace zelka::host::cpu
