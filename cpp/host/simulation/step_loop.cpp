#include "host/simulation/step_loop.hpp"

#include <algorithm>
#include <cfenv>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>

#include "core/engine/step_engine.hpp"
#include "host/numpy.hpp"
#include "host/simulation/generic_step.hpp"
#include "host/simulation/native_plan.hpp"
#include "host/simulation/node_times.hpp"

using namespace nanobind::literals;

namespace zelka::host::simulation {
namespace {

// Between native steps: takes snapshots when asked and lets the host deliver signals
// (Ctrl-C) at least every 50 ms.
class HostObserver final : public engine::StepObserver {
 public:
  HostObserver(const NativeRun& run, nb::list* snapshots, std::int64_t first_step)
      : run_(run), snapshots_(snapshots), first_step_(first_step) {}

  bool after_step(const engine::Plan&, std::int64_t completed) override {
    if (!snapshots_) {
      // The clock is read every `stride_` steps: the stride doubles while a read finds
      // less than a quarter of the interval gone and halves when it finds more, so that
      // short steps cost no clock read each and long ones are still checked in time.
      if (++unchecked_ < stride_) return true;
      unchecked_ = 0;
      const auto now = std::chrono::steady_clock::now();
      const auto gone = now - last_check_;
      if (gone < check_interval / 4)
        stride_ = std::min<std::int64_t>(stride_ * 2, 1024);
      else if (gone > check_interval / 2)
        stride_ = std::max<std::int64_t>(stride_ / 2, 1);
      if (gone < check_interval) return true;
      last_check_ = now;
    }
    nb::gil_scoped_acquire acquire;
    if (snapshots_) snapshots_->append(native_snapshot(run_, first_step_ + completed - 1));
    if (PyErr_CheckSignals() != 0) {
      error_ = std::make_exception_ptr(nb::python_error());
      return false;
    }
    return true;
  }

  bool reads_values() const override { return snapshots_ != nullptr; }

  void rethrow() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  const NativeRun& run_;
  nb::list* snapshots_;
  std::int64_t first_step_;
  static constexpr std::chrono::milliseconds check_interval{50};
  std::chrono::steady_clock::time_point last_check_ = std::chrono::steady_clock::now();
  std::int64_t stride_ = 1;
  std::int64_t unchecked_ = 0;
  std::exception_ptr error_;
};

// Run the remaining steps natively.  Returns false, with the state untouched, when the
// kernels raised a floating-point condition that numpy would report (a warning or an
// error under np.errstate): those steps are then replayed through numpy, which reports
// it exactly where it arises.
bool run_native(NativeRun& run, WorkingState& state, std::int64_t sample, std::int64_t first_step,
                std::int64_t steps, const LoopOptions& options) {
  const std::size_t snapshots_before = options.snapshots ? options.snapshots->size() : 0;
  if (options.recorder) options.recorder->attach(run, {sample});
  HostObserver observer(run, options.snapshots, first_step);
  int raised;
  std::int64_t completed;
  {
    nb::gil_scoped_release release;
    std::feclearexcept(FE_ALL_EXCEPT);
    completed = engine::run_steps(run.plan, steps, engine::StepRange{0, 1, first_step}, observer,
                                  options.policy.node_times != nullptr);
    raised = std::fetestexcept(numpy_fp_flags);
  }
  // numpy's error modes are read only when a condition arose: they cannot change while the
  // steps run on this thread, and most runs raise none.
  if (raised) raised &= reported_fp_flags();
  if (raised) {
    if (options.snapshots)
      PyList_SetSlice(options.snapshots->ptr(), static_cast<Py_ssize_t>(snapshots_before),
                      PY_SSIZE_T_MAX, nullptr);
    observer.rethrow();
    return false;
  }
  // (before write_back, which moves the spike totals the counts read into the state)
  if (options.recorder && options.recorder->activity) options.recorder->activity->add_native(run);
  write_back(run, state, first_step + completed - 1, options.read_after);
  if (options.policy.node_times)
    for (std::size_t i = 0; i < run.timed_names.size(); ++i)
      options.policy.node_times->add(run.timed_names[i], run.plan.node_ns[i]);
  // Native steps keep every activation's shape and type: each step ends with the same bytes.
  if (std::int64_t* peak = options.policy.peak_activation_bytes)
    *peak = std::max(*peak, native_activation_bytes(run));
  observer.rethrow();
  return true;
}

}  // namespace

// The floating-point exception flags numpy would report under its current error state
// (np.geterr(): "ignore" categories are left out).
int reported_fp_flags() {
  nb::object modes = Numpy::get().geterr();
  const std::pair<const char*, int> categories[] = {{"divide", FE_DIVBYZERO},
                                                    {"over", FE_OVERFLOW},
                                                    {"under", FE_UNDERFLOW},
                                                    {"invalid", FE_INVALID}};
  int flags = 0;
  for (const auto& [category, flag] : categories) {
    nb::object mode = getitem(modes, nb::str(category));
    const bool ignored =
        PyUnicode_Check(mode.ptr()) && PyUnicode_CompareWithASCIIString(mode.ptr(), "ignore") == 0;
    if (!ignored) flags |= flag;
  }
  return flags;
}

std::int64_t steps_to_run(nb::handle n_steps) {
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(n_steps.ptr(), &overflow);
  if (n == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow) return overflow < 0 ? 0 : std::numeric_limits<std::int64_t>::max();
  return n < 0 ? 0 : n;
}

void StepRecorder::record(const WorkingState& state, std::int64_t step, std::int64_t sample) const {
  if (step >= steps) return;
  const Numpy& np = Numpy::get();
  for (const Train& train : trains) {
    PyObject* spikes = PyDict_GetItemWithError(state.activations.ptr(), train.name.ptr());
    if (!spikes) {
      if (PyErr_Occurred()) throw nb::python_error();
      continue;
    }
    nb::object fired = np.ascontiguousarray(np.module.attr("not_equal")(nb::handle(spikes), 0),
                                            "dtype"_a = np.module.attr("uint8"));
    const ArrayData data(fired);
    if (data.bytes() != train.neurons) continue;  // not a spike vector of this node's size
    std::memcpy(train.out + (step * samples + sample) * train.neurons, data.data(),
                static_cast<std::size_t>(train.neurons));
  }
  for (const Membranes& kept : membranes) {
    PyObject* membrane = PyDict_GetItemWithError(state.membrane_state.ptr(), kept.name.ptr());
    if (!membrane) {
      if (PyErr_Occurred()) throw nb::python_error();
      continue;
    }
    nb::object values = np.ascontiguousarray(nb::handle(membrane), "dtype"_a = np.float64);
    const ArrayData data(values);
    if (data.bytes() != kept.neurons * static_cast<std::int64_t>(sizeof(double))) continue;
    std::memcpy(kept.out + (step * samples + sample) * kept.neurons, data.data(),
                static_cast<std::size_t>(data.bytes()));
  }
}

void StepRecorder::attach(NativeRun& run, const std::vector<std::int64_t>& sample_ids) const {
  using engine::Recording;
  engine::Plan& plan = run.plan;
  plan.recordings.clear();
  for (const Train& train : trains) {
    const int slot = activation_slot(run, train.name);
    // a node without a value yet is not computed by native steps either: no spikes to keep
    if (slot >= 0)
      plan.recordings.push_back({Recording::Kind::spikes, slot, train.out, train.neurons});
  }
  // a LIF node the native steps do not compute keeps its membrane as it is (zeros)
  for (const Membranes& kept : membranes)
    for (const NativeRun::Membrane& m : run.membranes)
      if (m.name.equal(kept.name))
        plan.recordings.push_back({Recording::Kind::membrane, m.slot, kept.out, kept.neurons});
  plan.recorded_steps = steps;
  plan.recorded_rows = samples;
  plan.sample_rows = sample_ids;
  if (activity) activity->attach(run);
}

void run_step_loop(const RunSetup& setup, WorkingState& state, std::int64_t n_steps,
                   const LoopOptions& options) {
  bool try_native = setup.native_products;
  nb::object previous;
  std::int64_t done = options.steps_done;
  if (try_native && options.native_from_start && done == 0 && n_steps > 0) {
    if (auto run = plan_first_step(setup, state, 1, options.policy.fill_missing_inputs)) {
      if (run_native(**run, state, setup.sample, 0, n_steps, options)) return;
      try_native = false;  // a floating-point condition: every step through numpy
    }
  }
  while (done < n_steps) {
    generic_step(setup, state, options.policy, done);
    if (options.recorder) options.recorder->record(state, done, setup.sample);
    ++done;
    if (std::int64_t* peak = options.policy.peak_activation_bytes)
      *peak = std::max(*peak, activation_bytes(state.activations));
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
    if (options.snapshots) options.snapshots->append(snapshot(state.activations));
    if (!try_native || done == n_steps) continue;
    // The planner accepts a state only when a native step would leave every type, shape
    // and key as it found them; the state after the first step usually is such a state.
    // Otherwise, plan once more when two steps in a row left the same signature.
    nb::object current = signature(state);
    const bool steady = previous.is_valid() && equal(current, previous);
    if (done == 1 || steady) {
      auto run = plan_native(setup, {&state}, {setup.sample});
      if (run && run_native(**run, state, setup.sample, done, n_steps - done, options)) {
        done = n_steps;
        continue;
      }
      if (run || steady) try_native = false;
    }
    previous = std::move(current);
  }
}

}  // namespace zelka::host::simulation
