// Running a batch's native plan on worker threads while the calling thread shows progress
// and watches for Ctrl-C.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "core/engine/plan.hpp"
#include "host/python.hpp"

namespace zelka::host::cpu {

// A tqdm progress bar over all sample-steps, updated at most ten times a second.  The bar
// is Python code that may raise (a closed stderr gives BrokenPipeError, a signal handler
// KeyboardInterrupt): callers close it themselves, `close` on success and `abandon` while an
// error propagates, never from a destructor.
class ProgressBar {
 public:
  ProgressBar(bool shown, nb::object total) {
    if (!shown) return;
    nb::object tqdm;
    try {
      tqdm = imported("tqdm").attr("tqdm");
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_ImportError)) throw;
      throw nb::import_error(
          "progress=True needs tqdm: pip install tqdm (or the package's 'progress' extra)");
    }
    bar_ = tqdm(nb::arg("total") = total, nb::arg("unit") = "sample-step",
                nb::arg("unit_scale") = true);
  }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void show(std::int64_t done, bool now = false) {
    if (!bar_.is_valid()) return;
    const auto t = std::chrono::steady_clock::now();
    if (!now && t - last_ < std::chrono::milliseconds(100)) return;
    last_ = t;
    bar_.attr("update")(done - shown_);
    shown_ = done;
  }

  void close() {
    if (!bar_.is_valid()) return;
    nb::object bar = std::move(bar_);
    bar.attr("close")();
  }

  // Closes the bar while another error is on its way to the caller: that error wins, one
  // the bar raises on closing is dropped.
  void abandon() noexcept {
    try {
      close();
    } catch (nb::python_error&) {
    }
  }

 private:
  nb::object bar_;
  std::int64_t shown_ = 0;
  std::chrono::steady_clock::time_point last_{};
};

// Runs the plan's samples for `steps` steps from step `first_step`, the interpreter
// released.  The samples are split into blocks sized to the cache (see samples_per_block),
// each run through all its steps, which the calling thread and up to `workers - 1` threads
// of the process's worker pool take in turn (fewer when the system refuses to start more).
// The calling thread also watches for Ctrl-C and shows progress (`progress` counts the
// sample-steps done); an error there (or in a helper) stops every worker, and is raised once
// all have stopped.
// Returns, per plan sample, whether its block raised a floating-point condition numpy would
// report (those samples are replayed through numpy).
std::vector<bool> run_on_threads(engine::Plan& plan, std::int64_t steps, std::int64_t first_step,
                                 std::int64_t workers, std::atomic<std::int64_t>& progress,
                                 ProgressBar& bar);

}  // namespace zelka::host::cpu
