#include "host/cpu/batch_threads.hpp"

#include <algorithm>
#include <cfenv>
#include <exception>
#include <functional>
#include <mutex>

#include "core/engine/step_engine.hpp"
#include "host/cpu/cache_blocks.hpp"
#include "host/simulation/step_loop.hpp"
#include "host/worker_pool.hpp"

namespace zelka::host::cpu {
namespace {

using simulation::numpy_fp_flags;
using simulation::reported_fp_flags;

// Between native steps of a worker: counts progress and stops when asked.  On the calling
// thread, which runs blocks too, it also calls `watch` every few steps.
class WorkerObserver final : public engine::StepObserver {
 public:
  WorkerObserver(std::atomic<std::int64_t>& progress, const std::atomic<bool>& stop,
                 std::int64_t samples, const std::function<void()>* watch)
      : progress_(progress), stop_(stop), samples_(samples), watch_(watch) {}

  bool after_step(const engine::Plan&, std::int64_t completed) override {
    progress_.fetch_add(samples_, std::memory_order_relaxed);
    if (watch_ && completed % steps_between_watches == 0) (*watch_)();
    return !stop_.load(std::memory_order_relaxed);
  }

 private:
  static constexpr std::int64_t steps_between_watches = 16;
  std::atomic<std::int64_t>& progress_;
  const std::atomic<bool>& stop_;
  std::int64_t samples_;
  const std::function<void()>* watch_;
};

constexpr auto watch_interval = std::chrono::milliseconds(50);

}  // namespace

std::vector<bool> run_on_threads(engine::Plan& plan, std::int64_t steps, std::int64_t first_step,
                                 std::int64_t workers, std::atomic<std::int64_t>& progress,
                                 ProgressBar& bar) {
  const std::int64_t samples = plan.batch;
  if (samples == 0) return {};
  // Blocks of samples sized to the cache, each run through all its steps, at least one per
  // worker and a multiple of the workers so that they share the work evenly.
  const std::int64_t threads_wanted = std::clamp<std::int64_t>(workers, 1, samples);
  const std::int64_t block = samples_per_block(plan);
  const std::int64_t per_worker =
      ((samples + block - 1) / block + threads_wanted - 1) / threads_wanted;
  const std::int64_t chunks = std::min(samples, per_worker * threads_wanted);
  const auto first_of = [&](std::int64_t chunk) { return samples * chunk / chunks; };
  std::vector<int> raised(static_cast<std::size_t>(chunks), 0);
  std::atomic<std::int64_t> next_chunk = 0;
  std::atomic<bool> stop = false;
  std::mutex mutex;
  std::exception_ptr failure;
  const auto keep_first_failure = [&](std::exception_ptr error) {
    std::lock_guard lock(mutex);
    if (!failure) failure = std::move(error);
    stop = true;
  };
  // On the calling thread, the interpreter released: Ctrl-C and the progress bar, at most
  // once per watch_interval.
  auto next_watch = std::chrono::steady_clock::now() + watch_interval;
  const std::function<void()> watch = [&] {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_watch) return;
    next_watch = now + watch_interval;
    nb::gil_scoped_acquire acquire;
    try {
      if (PyErr_CheckSignals() != 0) throw nb::python_error();
      bar.show(progress.load());
    } catch (...) {
      keep_first_failure(std::current_exception());
    }
  };
  const auto run_blocks = [&](const std::function<void()>* watching) {
    try {
      for (std::int64_t chunk; !stop && (chunk = next_chunk++) < chunks;) {
        const engine::StepRange range{first_of(chunk), first_of(chunk + 1), first_step};
        WorkerObserver observer(progress, stop, range.end_sample - range.first_sample, watching);
        std::feclearexcept(FE_ALL_EXCEPT);
        engine::run_steps(plan, steps, range, observer, false);
        raised[chunk] = std::fetestexcept(numpy_fp_flags);
      }
    } catch (...) {
      keep_first_failure(std::current_exception());
    }
  };

  // The calling thread is one of the workers: a batch that one worker runs hands nothing to
  // the pool.  Blocks the pool's threads have not begun when the calling thread runs out
  // of blocks are withdrawn.
  {
    nb::gil_scoped_release release;
    HelperRuns helpers = start_helpers([&] { run_blocks(nullptr); }, threads_wanted - 1);
    run_blocks(&watch);
    helpers.finish([&] {
      next_watch = std::chrono::steady_clock::now();
      watch();
    });
  }
  if (failure) std::rethrow_exception(failure);
  // numpy's error modes are read only when a condition arose (most runs raise none).
  const bool any_raised = std::ranges::any_of(raised, [](int flags) { return flags != 0; });
  const int watched = any_raised ? reported_fp_flags() : 0;
  std::vector<bool> replay(static_cast<std::size_t>(samples), false);
  for (std::int64_t chunk = 0; chunk < chunks; ++chunk)
    if (raised[chunk] & watched)
      for (std::int64_t b = first_of(chunk); b < first_of(chunk + 1); ++b) replay[b] = true;
  return replay;
}

}  // namespace zelka::host::cpu
