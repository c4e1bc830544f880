#include "host/cpu/batch_threads.hpp"

#include <algorithm>
#include <cfenv>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "core/engine/step_engine.hpp"
#include "host/simulation/step_loop.hpp"

namespace zelka::host::cpu {
namespace {

using simulation::reported_fp_flags;

// Between native steps of a worker: counts progress and stops when asked.
class WorkerObserver final : public engine::StepObserver {
 public:
  WorkerObserver(std::atomic<std::int64_t>& progress, const std::atomic<bool>& stop,
                 std::int64_t samples)
      : progress_(progress), stop_(stop), samples_(samples) {}

  bool after_step(const engine::Plan&, std::int64_t) override {
    progress_.fetch_add(samples_, std::memory_order_relaxed);
    return !stop_.load(std::memory_order_relaxed);
  }

 private:
  std::atomic<std::int64_t>& progress_;
  const std::atomic<bool>& stop_;
  std::int64_t samples_;
};

}  // namespace

std::vector<bool> run_on_threads(engine::Plan& plan, std::int64_t steps, std::int64_t first_step,
                                 std::int64_t workers, std::atomic<std::int64_t>& progress,
                                 ProgressBar& bar) {
  const int watched = reported_fp_flags();
  const std::int64_t samples = plan.batch;
  if (samples == 0) return {};
  const std::int64_t chunks = std::clamp<std::int64_t>(workers, 1, samples);
  const auto first_of = [&](std::int64_t chunk) { return samples * chunk / chunks; };
  std::vector<int> raised(static_cast<std::size_t>(chunks), 0);
  std::atomic<std::int64_t> next_chunk = 0;
  std::atomic<bool> stop = false;
  std::int64_t finished = 0;
  std::mutex mutex;
  std::condition_variable all_done;
  std::exception_ptr failure;
  const auto keep_first_failure = [&](std::exception_ptr error) {
    std::lock_guard lock(mutex);
    if (!failure) failure = std::move(error);
    stop = true;
  };
  const auto work = [&] {
    try {
      for (std::int64_t chunk; !stop && (chunk = next_chunk++) < chunks;) {
        const engine::StepRange range{first_of(chunk), first_of(chunk + 1), first_step};
        WorkerObserver observer(progress, stop, range.end_sample - range.first_sample);
        std::feclearexcept(FE_ALL_EXCEPT);
        engine::run_steps(plan, steps, range, observer, false);
        raised[chunk] = std::fetestexcept(watched);
      }
    } catch (...) {
      keep_first_failure(std::current_exception());
    }
    {
      std::lock_guard lock(mutex);
      ++finished;
    }
    all_done.notify_all();
  };

  std::vector<std::thread> threads;
  threads.reserve(static_cast<std::size_t>(chunks));
  std::string refusal;
  {
    nb::gil_scoped_release release;
    for (std::int64_t w = 0; w < chunks; ++w) {
      try {
        threads.emplace_back(work);
      } catch (const std::system_error& e) {
        refusal = e.what();
        break;
      }
    }
    const auto started = static_cast<std::int64_t>(threads.size());
    while (started > 0) {
      {
        std::unique_lock lock(mutex);
        if (all_done.wait_for(lock, std::chrono::milliseconds(50),
                              [&] { return finished == started; }))
          break;
        if (failure) continue;
      }
      nb::gil_scoped_acquire acquire;
      try {
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        bar.show(progress.load());
      } catch (...) {
        keep_first_failure(std::current_exception());
      }
    }
    for (std::thread& t : threads) t.join();
  }
  if (failure) std::rethrow_exception(failure);
  if (threads.empty())
    throw std::runtime_error("simulate_batch could not start a worker thread: " + refusal);
  std::vector<bool> replay(static_cast<std::size_t>(samples), false);
  for (std::int64_t chunk = 0; chunk < chunks; ++chunk)
    if (raised[chunk])
      for (std::int64_t b = first_of(chunk); b < first_of(chunk + 1); ++b) replay[b] = true;
  return replay;
}

}  // namespace zelka::host::cpu
