#include "host/simulation/step_loop.hpp"

#include <chrono>
#include <exception>

#include "core/engine/step_engine.hpp"
#include "host/simulation/generic_step.hpp"
#include "host/simulation/native_plan.hpp"

namespace zelka::host::simulation {
namespace {

// Between native steps: takes snapshots when asked and lets the host deliver signals
// (Ctrl-C) at least every 50 ms.
class HostObserver final : public engine::StepObserver {
 public:
  HostObserver(const NativeRun& run, nb::list* snapshots) : run_(run), snapshots_(snapshots) {}

  bool after_step(const engine::Plan&, std::int64_t) override {
    if (!snapshots_) {
      const auto now = std::chrono::steady_clock::now();
      if (now - last_check_ < std::chrono::milliseconds(50)) return true;
      last_check_ = now;
    }
    nb::gil_scoped_acquire acquire;
    if (snapshots_) snapshots_->append(native_snapshot(run_));
    if (PyErr_CheckSignals() != 0) {
      error_ = std::make_exception_ptr(nb::python_error());
      return false;
    }
    return true;
  }

  void rethrow() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  const NativeRun& run_;
  nb::list* snapshots_;
  std::chrono::steady_clock::time_point last_check_ = std::chrono::steady_clock::now();
  std::exception_ptr error_;
};

std::int64_t run_native(NativeRun& run, WorkingState& state, std::int64_t steps,
                        const LoopOptions& options) {
  HostObserver observer(run, options.snapshots);
  std::int64_t completed;
  {
    nb::gil_scoped_release release;
    completed = engine::run_steps(run.plan, steps, observer);
  }
  write_back(run, state);
  observer.rethrow();
  return completed;
}

}  // namespace

bool is_native_saturate(nb::handle saturate) {
  static const nb::object* native =
      new nb::object(nb::module_::import_("zelka.backend.cpu._saturate").attr("saturate"));
  return saturate.is(*native);
}

void run_step_loop(const RunSetup& setup, WorkingState& state, std::int64_t n_steps,
                   const LoopOptions& options) {
  bool try_native = is_native_saturate(setup.saturate);
  nb::object previous;
  std::int64_t done = 0;
  while (done < n_steps) {
    generic_step(setup, state, options.policy);
    ++done;
    if (options.snapshots) options.snapshots->append(snapshot(state.activations));
    if (!try_native || done == n_steps) continue;
    nb::object current = signature(state);
    if (previous.is_valid() && equal(current, previous)) {
      try_native = false;
      if (auto run = plan_native(setup, state))
        done += run_native(**run, state, n_steps - done, options);
      continue;
    }
    previous = std::move(current);
  }
}

}  // namespace zelka::host::simulation
