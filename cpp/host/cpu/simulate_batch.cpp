#include "host/cpu/simulate_batch.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "host/cpu/activity_record.hpp"
#include "host/cpu/batch_records.hpp"
#include "host/cpu/batch_stimuli.hpp"
#include "host/cpu/batch_threads.hpp"
#include "host/cpu/simulate.hpp"
#include "host/numpy.hpp"
#include "host/simulation/generic_step.hpp"
#include "host/simulation/native_plan.hpp"
#include "host/simulation/step_loop.hpp"

using namespace nanobind::literals;

namespace zelka::host::cpu {
namespace {

using namespace simulation;

// ---- reading ----------------------------------------------------------------------------

struct Sample {
  RunSetup setup;
  WorkingState state;
  nb::list errors;
  bool failed = false;
  // The native run holding the sample's values after its last step, and its index there.
  const NativeRun* run = nullptr;
  std::int64_t index = 0;
};

void fail(Sample& sample, nb::python_error& e) {
  if (!e.matches(PyExc_Exception)) throw;
  sample.failed = true;
  sample.errors.append(nb::str(e.value()));
}

// What a call works on, read from its arguments.
struct Batch {
  RunSetup common;
  Stimuli stimuli;
  bool per_step = false;
  WorkingState initial;  // the state every sample starts from: float32 zero membranes
  // One per sample when they are run or kept one by one (see all_in_run); else empty.
  std::vector<Sample> samples;
  StepRecorder recorder;
  ActivityCounts activity;  // the counted layers, when the call counts them
  nb::dict trains;          // recorded LIF name -> bool array (steps, samples, neurons)
  nb::dict membranes;       // recorded LIF name -> float64 array (steps, samples, neurons)
  nb::object n_steps;       // after the cyclic override, as reported
  std::int64_t steps = 0;
  std::unique_ptr<NativeRun> run;  // the native run of the samples that ran together
  // Every sample ran in `run` from its first step, none was replayed: the results are
  // read off the run for all samples at once.
  bool all_in_run = false;

  std::int64_t size() const { return stimuli.batch; }
};

// The arrays of the recorded values and the recorder writing into them: a LIF node's name
// records its spike trains, "v:" and the name its membrane potentials.
void prepare_recording(Batch& batch, const nb::list& record) {
  const Numpy& np = Numpy::get();
  batch.recorder.steps = batch.steps;
  batch.recorder.samples = batch.size();
  for (nb::handle entry : record) {
    nb::object name = nb::borrow(entry);
    const bool membrane =
        PyUnicode_Check(entry.ptr()) && truth(nb::borrow(entry).attr("startswith")("v:"));
    if (membrane) name = nb::borrow(entry)[nb::slice(nb::int_(2), nb::none(), nb::none())];
    PyObject* node = PyDict_GetItemWithError(batch.common.nodes.ptr(), name.ptr());
    if (!node && PyErr_Occurred()) throw nb::python_error();
    if (!node || !batch.common.kinds.is(node, Kind::lif))
      raise_formatted(PyExc_ValueError,
                      "record: {!r} is not a LIF node of the graph (a LIF node's name records "
                      "its spikes, 'v:' and the name its membrane potentials)",
                      entry);
    const std::int64_t neurons = nb::cast<std::int64_t>(
        getitem(nb::handle(node).attr("v_threshold").attr("shape"), nb::int_(0)));
    const nb::object shape = nb::make_tuple(batch.steps, batch.recorder.samples, neurons);
    if (membrane) {
      nb::object values = np.zeros(shape, "dtype"_a = np.float64);
      batch.membranes[name] = values;
      batch.recorder.membranes.push_back(
          {name, static_cast<double*>(ArrayData(values, true).data()), neurons});
    } else {
      nb::object train = np.zeros(shape, "dtype"_a = np.module.attr("bool_"));
      batch.trains[name] = train;
      batch.recorder.trains.push_back(
          {name, static_cast<std::uint8_t*>(ArrayData(train, true).data()), neurons});
    }
  }
}

// A recorded membrane in the node's type: that of its membrane after the run (the native
// run's slot, else the first sample whose run succeeded), float32 when no sample has one.
nb::object membranes_in_their_type(const Batch& batch, nb::handle name, nb::handle values) {
  const Numpy& np = Numpy::get();
  nb::object dtype = np.float32;
  bool found = false;
  if (batch.run)
    for (const NativeRun::Membrane& m : batch.run->membranes)
      if (m.name.equal(name)) {
        dtype = dtype_object(batch.run->plan.slots[m.slot].dtype);
        found = true;
      }
  for (const Sample& sample : batch.samples) {
    if (found || sample.failed || sample.run) continue;
    PyObject* membrane = PyDict_GetItemWithError(sample.state.membrane_state.ptr(), name.ptr());
    if (!membrane && PyErr_Occurred()) throw nb::python_error();
    if (!membrane) continue;
    dtype = nb::handle(membrane).attr("dtype");
    found = true;
  }
  return values.attr("astype")(dtype, "copy"_a = false);
}

Batch read_batch(nb::handle graph, nb::handle input_data, nb::object n_steps,
                 const nb::list& record) {
  Batch batch;
  batch.common = make_run_setup(load_step_kinds(), compile_config());
  const bool per_step = nb::isinstance<PerStep>(input_data);
  nb::object stimuli_map =
      per_step ? nb::object(input_data.attr("inputs")) : nb::borrow(input_data);
  if (!PyDict_Check(stimuli_map.ptr()))
    raise_formatted(PyExc_TypeError, "input_data must be a dict or a PerStep of a dict, got {}",
                    stimuli_map.type().attr("__name__"));
  bind_execution_context(batch.common, graph);
  batch.n_steps = run_length(graph, std::move(n_steps));
  batch.steps = steps_to_run(batch.n_steps);

  batch.stimuli = read_stimuli(graph, batch.common.kinds, stimuli_map, per_step, batch.steps);
  batch.per_step = per_step;
  bind_computed_layers(batch.common, graph, {stimuli_map, per_step ? 2u : 1u, true});
  if (per_step)
    for (std::size_t i = 0; i < batch.stimuli.keys.size(); ++i)
      batch.common.step_inputs.push_back({batch.stimuli.keys[i], batch.stimuli.arrays[i]});
  init_membranes(graph, batch.common.kinds, batch.initial);
  prepare_recording(batch, record);
  return batch;
}

// Sample b on its own: its stimuli (rows of the batch's arrays) and its initial state.
void make_sample(const Batch& batch, std::int64_t b, Sample& sample) {
  const Numpy& np = Numpy::get();
  sample.setup = batch.common;
  sample.setup.sample = b;
  sample.setup.input_data = nb::dict();  // the copy shares common's dict
  if (!batch.per_step)
    for (std::size_t i = 0; i < batch.stimuli.keys.size(); ++i)
      sample.setup.input_data[batch.stimuli.keys[i]] =
          getitem(batch.stimuli.arrays[i], nb::int_(b));
  for (auto [name, membrane] : batch.initial.membrane_state)
    sample.state.membrane_state[name] = np.zeros(membrane.attr("shape"), "dtype"_a = np.float32);
}

void make_samples(Batch& batch) {
  batch.samples.resize(static_cast<std::size_t>(batch.size()));
  for (std::int64_t b = 0; b < batch.size(); ++b) make_sample(batch, b, batch.samples[b]);
}

// ---- planning ---------------------------------------------------------------------------

// After the first step: the samples whose state has the first valid sample's signature
// run natively together, in one plan; the others (and every sample when the native
// kernels cannot take the graph) go on alone, as simulate would run them.
struct Grouping {
  std::unique_ptr<NativeRun> run;  // null when no sample runs natively
  std::vector<Sample*> together;   // the plan's samples, in its order
  std::vector<Sample*> alone;
};

Grouping plan_together(std::vector<Sample>& samples, const RunSetup& common) {
  Grouping g;
  nb::object reference;
  for (Sample& sample : samples) {
    if (sample.failed) continue;
    nb::object current = signature(sample.state);
    if (!reference.is_valid()) reference = current;
    (common.native_products && equal(current, reference) ? g.together : g.alone).push_back(&sample);
  }
  if (g.together.empty()) return g;
  std::vector<WorkingState*> states;
  std::vector<std::int64_t> ids;
  for (Sample* s : g.together) {
    states.push_back(&s->state);
    ids.push_back(s->setup.sample);
  }
  if (auto planned = plan_native(g.together.front()->setup, states, ids)) {
    g.run = std::move(*planned);
  } else {
    g.alone.insert(g.alone.end(), g.together.begin(), g.together.end());
    g.together.clear();
  }
  return g;
}

// ---- running ----------------------------------------------------------------------------

// Runs every sample natively from its first step, in one plan, on the worker threads,
// where the graph allows it.  Samples of a thread whose kernels raised a floating-point
// condition numpy would report are replayed alone through numpy.  False, with nothing run,
// when no such plan exists.
bool run_from_first_step(Batch& batch, std::int64_t workers, ProgressBar& bar) {
  if (batch.steps < 1 || !batch.common.native_products) return false;
  RunSetup setup = batch.common;
  if (!batch.per_step)
    for (std::size_t i = 0; i < batch.stimuli.keys.size(); ++i)
      setup.sample_inputs.push_back({batch.stimuli.keys[i], batch.stimuli.arrays[i]});
  auto planned = plan_first_step(setup, batch.initial, batch.size(), true);
  if (!planned) return false;
  batch.run = std::move(*planned);
  std::vector<std::int64_t> ids(static_cast<std::size_t>(batch.size()));
  for (std::int64_t b = 0; b < batch.size(); ++b) ids[b] = b;
  batch.recorder.attach(*batch.run, ids);
  std::atomic<std::int64_t> progress = 0;
  const std::vector<bool> replay =
      run_on_threads(batch.run->plan, batch.steps, 0, workers, progress, bar);
  if (batch.recorder.activity) batch.activity.add_native(*batch.run, replay);
  batch.all_in_run = std::none_of(replay.begin(), replay.end(), [](bool r) { return r; });
  if (batch.all_in_run) {
    bar.show(progress, true);
    return true;
  }
  make_samples(batch);
  LoopOptions loop;
  loop.recorder = &batch.recorder;
  loop.policy.activity = batch.recorder.activity;
  loop.native_from_start = false;
  for (std::int64_t b = 0; b < batch.size(); ++b) {
    Sample& sample = batch.samples[b];
    if (!replay[b]) {
      sample.run = batch.run.get();
      sample.index = b;
      continue;
    }
    try {
      run_step_loop(sample.setup, sample.state, batch.steps, loop);
    } catch (nb::python_error& e) {
      fail(sample, e);
    }
  }
  bar.show(progress, true);
  return true;
}

// Runs every sample for all steps one by one: the first step through numpy, as in
// simulate; then the samples planned together natively on the worker threads, and the
// others alone.  Samples of a thread whose kernels raised a floating-point condition numpy
// would report are replayed alone through numpy.
void run_sample_by_sample(Batch& batch, std::int64_t workers, ProgressBar& bar) {
  std::atomic<std::int64_t> progress = 0;
  LoopOptions loop;
  loop.recorder = &batch.recorder;
  loop.policy.activity = batch.recorder.activity;
  make_samples(batch);
  if (batch.steps < 1) return;
  for (Sample& sample : batch.samples) {
    try {
      generic_step(sample.setup, sample.state, loop.policy, 0);
      batch.recorder.record(sample.state, 0, sample.setup.sample);
    } catch (nb::python_error& e) {
      fail(sample, e);
    }
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
    bar.show(++progress);
  }
  if (batch.steps == 1) return;

  Grouping g = plan_together(batch.samples, batch.common);
  if (g.run) {
    std::vector<std::int64_t> ids;
    for (Sample* s : g.together) ids.push_back(s->setup.sample);
    batch.recorder.attach(*g.run, ids);
    const std::vector<bool> replay =
        run_on_threads(g.run->plan, batch.steps - 1, 1, workers, progress, bar);
    if (batch.recorder.activity) batch.activity.add_native(*g.run, replay);
    for (std::size_t k = 0; k < g.together.size(); ++k) {
      if (replay[k]) {
        g.alone.push_back(g.together[k]);
        continue;
      }
      g.together[k]->run = g.run.get();
      g.together[k]->index = static_cast<std::int64_t>(k);
    }
    batch.run = std::move(g.run);
  }
  loop.steps_done = 1;
  loop.native_from_start = false;
  for (Sample* sample : g.alone) {
    try {
      run_step_loop(sample->setup, sample->state, batch.steps, loop);
    } catch (nb::python_error& e) {
      fail(*sample, e);
    }
    progress += batch.steps - 1;
    bar.show(progress);
  }
  bar.show(progress, true);
}

// ---- collecting -------------------------------------------------------------------------

// The samples' values stacked into one array (batch, *shape); a failed sample holds zeros.
// Values of different shapes or types make an object array of the values (None for a
// failed sample).
nb::object stack(const std::vector<nb::object>& values) {
  const Numpy& np = Numpy::get();
  nb::object first;
  bool uniform = true;
  for (const nb::object& v : values) {
    if (!v.is_valid()) continue;
    if (!first.is_valid()) {
      first = v;
      continue;
    }
    uniform = uniform && is_instance(v, np.ndarray) && is_instance(first, np.ndarray) &&
              equal(v.attr("shape"), first.attr("shape")) &&
              equal(v.attr("dtype"), first.attr("dtype"));
  }
  uniform = uniform && is_instance(first, np.ndarray);
  const auto count = static_cast<std::int64_t>(values.size());
  if (!uniform) {
    nb::object out = np.empty(count, "dtype"_a = "O");
    for (std::int64_t b = 0; b < count; ++b)
      if (values[b].is_valid()) out[nb::int_(b)] = values[b];
    return out;
  }
  nb::object shape = add(nb::make_tuple(count), first.attr("shape"));
  nb::object out = np.zeros(shape, "dtype"_a = first.attr("dtype"));
  for (std::int64_t b = 0; b < count; ++b)
    if (values[b].is_valid()) out[nb::int_(b)] = values[b];
  return out;
}

// The value a sample holds under an activation key after the run, or null.
nb::object final_activation(const Sample& sample, nb::handle key, std::int64_t last_step) {
  if (sample.run) {
    const int slot = activation_slot(*sample.run, key);
    if (slot >= 0) {
      for (const NativeRun::Key& k : sample.run->keys)
        if (k.slot == slot && k.constant.is_valid()) return getitem(sample.state.activations, key);
      return slot_value(*sample.run, slot, sample.index, last_step);
    }
  }
  PyObject* value = PyDict_GetItemWithError(sample.state.activations.ptr(), key.ptr());
  if (!value && PyErr_Occurred()) throw nb::python_error();
  return value ? nb::borrow(value) : nb::object();
}

// A sample's spike totals by LIF node, in the order its steps first counted them: the
// counts of its numpy steps, plus those of its native run.
std::vector<std::pair<nb::object, std::int64_t>> spike_totals(const Sample& sample) {
  std::vector<std::pair<nb::object, std::int64_t>> totals;
  for (auto [name, count] : sample.state.spike_counts)
    totals.emplace_back(nb::borrow(name), nb::cast<std::int64_t>(count));
  if (!sample.run) return totals;
  const NativeRun& run = *sample.run;
  for (std::size_t c = 0; c < run.counted.size(); ++c) {
    const std::int64_t native = run.plan.spike_totals[sample.index * run.plan.counters() + c];
    auto known = std::find_if(totals.begin(), totals.end(),
                              [&](const auto& t) { return t.first.equal(run.counted[c]); });
    if (known == totals.end())
      totals.emplace_back(run.counted[c], native);
    else
      known->second += native;
  }
  return totals;
}

// The results when every sample's values are in the native run: each Output's values and
// each LIF's spike totals copied out for all samples at once.
void collect_from_run(const Batch& batch, nb::handle outputs, nb::dict spike_counts) {
  const Numpy& np = Numpy::get();
  const NativeRun& run = *batch.run;
  for (nb::handle item : batch.common.nodes.attr("items")()) {
    if (!batch.common.kinds.is(item[1], Kind::output)) continue;
    const int slot = activation_slot(run, item[0]);
    if (slot >= 0) outputs[item[0]] = slot_rows(run, slot, batch.steps - 1);
  }
  const std::int64_t counters = run.plan.counters();
  for (std::int64_t c = 0; c < counters; ++c) {
    nb::object counts = np.empty(batch.size(), "dtype"_a = np.module.attr("int64"));
    auto* out = static_cast<std::int64_t*>(ArrayData(counts, true).data());
    for (std::int64_t b = 0; b < batch.size(); ++b)
      out[b] = run.plan.spike_totals[b * counters + c];
    spike_counts[run.counted[c]] = counts;
  }
}

// The results sample by sample.
void collect_by_sample(const Batch& batch, nb::handle outputs, nb::dict spike_counts) {
  const Numpy& np = Numpy::get();
  for (nb::handle item : batch.common.nodes.attr("items")()) {
    nb::object name = item[0];
    if (!batch.common.kinds.is(item[1], Kind::output)) continue;
    std::vector<nb::object> values(batch.samples.size());
    bool any = false;
    for (std::size_t b = 0; b < batch.samples.size(); ++b) {
      if (batch.samples[b].failed || batch.steps < 1) continue;
      values[b] = final_activation(batch.samples[b], name, batch.steps - 1);
      any = any || values[b].is_valid();
    }
    if (any) outputs[name] = stack(values);
  }
  for (std::int64_t b = 0; b < batch.size(); ++b) {
    const Sample& sample = batch.samples[b];
    if (sample.failed) continue;
    for (const auto& [name, total] : spike_totals(sample)) {
      if (!spike_counts.contains(name))
        spike_counts[name] = np.zeros(batch.size(), "dtype"_a = np.module.attr("int64"));
      nb::object counts = spike_counts[name];
      counts[nb::int_(b)] = total;
    }
  }
}

nb::object collect_result(const Batch& batch) {
  const Numpy& np = Numpy::get();
  nb::object result = nb::cast(BatchSimulationResult());
  BatchSimulationResult& record = nb::cast<BatchSimulationResult&>(result);
  nb::dict spike_counts;
  if (batch.all_in_run)
    collect_from_run(batch, record.field("outputs"), spike_counts);
  else
    collect_by_sample(batch, record.field("outputs"), spike_counts);
  // (numpy.ones is a Python function of two calls; an empty array filled here is one)
  nb::object valid = np.empty(batch.size(), np.module.attr("bool_"));
  if (batch.size() > 0)
    std::memset(ArrayData(valid, true).data(), 1, static_cast<std::size_t>(batch.size()));
  nb::list errors;
  for (std::int64_t b = 0; b < batch.size(); ++b) {
    if (batch.all_in_run) {
      errors.append(nb::list());
      continue;
    }
    if (batch.samples[b].failed) valid[nb::int_(b)] = false;
    errors.append(batch.samples[b].errors);
  }
  record.set("spike_counts", spike_counts);
  record.set("spike_trains", batch.trains);
  nb::dict membranes;
  for (auto [name, values] : batch.membranes)
    membranes[name] = membranes_in_their_type(batch, name, values);
  record.set("membranes", membranes);
  record.set("timesteps_run", batch.n_steps);
  record.set("outputs_valid", valid);
  record.set("errors", errors);
  if (batch.recorder.activity)
    record.field("activity") =
        activity_record(batch.common.nodes, batch.activity, spike_counts, batch.n_steps);
  return result;
}

}  // namespace

nb::object simulate_batch(nb::handle graph, nb::handle input_data, nb::object n_steps,
                          const BatchOptions& options) {
  Batch batch = read_batch(graph, input_data, std::move(n_steps), options.record);
  batch.common.workers = options.workers;
  if (options.activity) {
    batch.activity = plan_activity(batch.common, batch.size());
    batch.recorder.activity = &batch.activity;
  }
  ProgressBar bar(
      options.progress,
      steal_or_raise(PyNumber_Multiply(nb::int_(batch.steps).ptr(), nb::int_(batch.size()).ptr())));
  try {
    if (!run_from_first_step(batch, options.workers, bar))
      run_sample_by_sample(batch, options.workers, bar);
    bar.close();
  } catch (...) {
    bar.abandon();
    throw;
  }
  return collect_result(batch);
}

}  // namespace zelka::host::cpu
