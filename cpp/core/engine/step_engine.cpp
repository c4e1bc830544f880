#include "core/engine/step_engine.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "core/engine/activity.hpp"
#include "core/engine/bias.hpp"
#include "core/engine/clock.hpp"
#include "core/engine/combine.hpp"
#include "core/engine/fp_flags.hpp"
#include "core/engine/layer.hpp"
#include "core/engine/lif.hpp"
#include "core/engine/matvec.hpp"

namespace zelka::engine {
namespace {

// The inputs and outputs of one Affine instruction's products, gathered across the samples
// (and steps) of the range by the kernel that computes them, so that each weight row or
// column is read once for all of them.  Allocated on first use in a call of the loop.
template <typename T>
struct Gathered {
  std::vector<const T*> dense_x, sparse_x;
  std::vector<T*> dense_y, sparse_y, spike_y;
  std::vector<const float*> spikes;

  void make_room(std::int64_t products) {
    if (static_cast<std::int64_t>(dense_x.size()) >= products) return;
    const auto n = static_cast<std::size_t>(products);
    dense_x.resize(n);
    sparse_x.resize(n);
    dense_y.resize(n);
    sparse_y.resize(n);
    spike_y.resize(n);
    spikes.resize(n);
  }
};

// The products of an Affine instruction whose input is a stimulus given for every step,
// computed ahead for the steps [first_step, end_step): per step, per sample of the range,
// column_stride(rows) values.
template <typename T>
struct AheadProducts {
  std::int64_t first_step = 0, end_step = 0;
  std::vector<T> values;
};

// The products of an Affine instruction whose bias its LIF adds (AffineArgs::bias_in_reader),
// for the samples of the range, `stride` apart from `product` on, at `step`; `written` once
// its output holds their sums.
struct DeferredBias {
  const float* product = nullptr;
  std::int64_t stride = 0;
  std::int64_t step = -1;
  int destination = -1;
  bool written = false;
};

// Which neurons of a LIF fired at `step`, as bits (FiredBits), for the samples of the range.
struct FiredBuffer {
  std::vector<std::uint16_t> bits;
  std::int64_t step = -1;
};

// What the products computed ahead for a few steps may occupy: enough for the weights to be
// read once for many steps of a single sample, little enough to stay in the cache beside them.
constexpr std::int64_t ahead_bytes = 256 * 1024;
constexpr std::int64_t max_steps_ahead = 32;

struct Workspace {
  Workspace(std::int64_t samples, std::int64_t end_step) : samples(samples), end_step(end_step) {}

  std::int64_t samples;
  std::int64_t end_step;  // the index after the last step of this call
  std::optional<Gathered<float>> f32;
  std::optional<Gathered<double>> f64;
  // The layers' kernels' scratch space, shared by the samples one after another (it stays
  // in cache), grown to the largest need.
  std::vector<float> scratch32;
  std::vector<double> scratch64;
  // Per Affine instruction (Plan::affine): its products computed ahead, if its input allows.
  std::vector<AheadProducts<float>> ahead32;
  std::vector<AheadProducts<double>> ahead64;
  // Whether LIFs may add their Affine's bias (not when nodes are timed, whose times would
  // move from the Affine to the LIF, nor when the observer reads the values between steps;
  // counting the activity reads only the inputs of Affine and layer instructions, which no
  // Affine whose bias is left to its LIF writes), and per Affine instruction the products left
  // to them.
  bool defer_bias = false;
  std::vector<DeferredBias> deferred;
  // Per LIF instruction that writes them (LifArgs::writes_bits), the bits of its last step.
  std::vector<FiredBuffer> fired;

  template <typename T>
  T* scratch(std::int64_t size) {
    auto& scratch = [&]() -> auto& {
      if constexpr (sizeof(T) == 4)
        return scratch32;
      else
        return scratch64;
    }();
    if (static_cast<std::int64_t>(scratch.size()) < size)
      scratch.resize(static_cast<std::size_t>(size));
    return scratch.data();
  }

  template <typename T>
  Gathered<T>& of() {
    auto& gathered = [&]() -> auto& {
      if constexpr (sizeof(T) == 4)
        return f32;
      else
        return f64;
    }();
    if (!gathered) gathered.emplace();
    return *gathered;
  }

  FiredBuffer& fired_of(int lif, std::size_t lifs) {
    if (fired.size() < lifs) fired.resize(lifs);
    return fired[static_cast<std::size_t>(lif)];
  }

  DeferredBias& deferred_of(int affine, std::size_t affines) {
    if (deferred.size() < affines) deferred.resize(affines);
    return deferred[static_cast<std::size_t>(affine)];
  }

  template <typename T>
  AheadProducts<T>& ahead(int affine, std::size_t affines) {
    auto& ahead = [&]() -> auto& {
      if constexpr (sizeof(T) == 4)
        return ahead32;
      else
        return ahead64;
    }();
    if (ahead.size() < affines) ahead.resize(affines);
    return ahead[static_cast<std::size_t>(affine)];
  }
};

// weight . input for every sample of the range at every step of [first_step, end_step), into
// output(step, sample): spikes by their columns, sparse inputs by their columns weighted,
// dense inputs row by row; products of one kind together.  The first step of a run takes
// every input row by row, as the numpy path's first step always has (a run that starts with
// numpy steps turns native after its first step), so that the sums keep that step's rounding
// whichever path a run takes.  Each product is formed as for its input alone, whatever it is
// gathered with.
template <typename P, typename Output>
void products(Plan& plan, const AffineArgs& a, const StepRange& range, std::int64_t first_step,
              std::int64_t end_step, Gathered<P>& g, Output output,
              const std::uint16_t* fired_bits = nullptr) {
  g.make_room((end_step - first_step) * (range.end_sample - range.first_sample));
  std::int64_t spiking = 0, sparse = 0, dense = 0;
  for (std::int64_t step = first_step; step < end_step; ++step) {
    const bool by_columns = step > 0 && a.weight_cols;
    for (std::int64_t b = range.first_sample; b < range.end_sample; ++b) {
      const Frame frame{plan.slots, b, step};
      P* product = output(frame);
      if (a.spike_input && by_columns) {
        g.spikes[spiking] = frame.at<const float>(a.input);
        g.spike_y[spiking++] = product;
        continue;
      }
      int input = a.input;
      if (a.converted_input >= 0) {
        convert_into(frame, a.input, a.converted_input);
        input = a.converted_input;
      }
      const P* x = frame.at<const P>(input);
      if (by_columns && sparse_enough(x, a.cols)) {
        g.sparse_x[sparse] = x;
        g.sparse_y[sparse++] = product;
      } else {
        g.dense_x[dense] = x;
        g.dense_y[dense++] = product;
      }
    }
  }
  const P* columns = static_cast<const P*>(a.weight_cols);
  // (the bits of one step: every sample's input is spikes then)
  if constexpr (std::is_same_v<P, float>)
    if (fired_bits && spiking > 0 &&
        spike_matvec_batch_of_bits(columns, fired_bits, spiking, a.rows, a.cols, g.spike_y.data()))
      spiking = 0;
  if (spiking == 1)
    spike_matvec(columns, g.spikes[0], g.spike_y[0], a.rows, a.cols);
  else if (spiking > 1)
    spike_matvec_batch(columns, g.spikes.data(), g.spike_y.data(), spiking, a.rows, a.cols);
  if (sparse == 1)
    weighted_column_matvec(columns, g.sparse_x[0], g.sparse_y[0], a.rows, a.cols);
  else if (sparse > 1)
    weighted_column_matvec_batch(columns, g.sparse_x.data(), g.sparse_y.data(), sparse, a.rows,
                                 a.cols);
  const P* weight = static_cast<const P*>(a.weight);
  if (dense == 1)
    matvec(weight, g.dense_x[0], g.dense_y[0], a.rows, a.cols);
  else if (dense > 1)
    matvec_batch(weight, g.dense_x.data(), g.dense_y.data(), dense, a.rows, a.cols);
}

// Whether an Affine instruction's input is a stimulus given for every step, read in place:
// known in advance, so its products can be computed for several steps at once.  (A widened
// input is converted into one block per sample, which holds a single step.)
bool input_known_ahead(const Plan& plan, const AffineArgs& a) {
  return plan.slots[a.input].step_stride != 0 && a.converted_input < 0;
}

// The products of `step` for the samples of the range, at ahead.values + (sample -
// first_sample) * column_stride(rows): those computed ahead, or computed now for this step
// and as many following ones as fit in ahead_bytes.
template <typename P>
const P* products_ahead(Plan& plan, const AffineArgs& a, const StepRange& range, std::int64_t step,
                        Workspace& workspace, AheadProducts<P>& ahead) {
  const std::int64_t samples = range.end_sample - range.first_sample;
  const std::int64_t stride = column_stride(a.rows);
  if (step < ahead.first_step || step >= ahead.end_step) {
    const std::int64_t step_bytes = samples * stride * static_cast<std::int64_t>(sizeof(P));
    const std::int64_t steps =
        std::clamp<std::int64_t>(ahead_bytes / step_bytes, 1, max_steps_ahead);
    ahead.first_step = step;
    ahead.end_step = std::min(step + steps, workspace.end_step);
    const auto size = static_cast<std::size_t>((ahead.end_step - step) * samples * stride);
    if (ahead.values.size() < size) ahead.values.resize(size);
    P* values = ahead.values.data();
    products<P>(plan, a, range, ahead.first_step, ahead.end_step, workspace.of<P>(),
                [&](const Frame& frame) {
                  return values +
                         ((frame.step - step) * samples + frame.sample - range.first_sample) *
                             stride;
                });
  }
  return ahead.values.data() + (step - ahead.first_step) * samples * stride;
}

// The bits of the spikes an Affine reads, where their LIF wrote them at this step; else null.
const std::uint16_t* fired_bits(const Plan& plan, const AffineArgs& a, std::int64_t step,
                                Workspace& workspace) {
  if (a.bits_of < 0) return nullptr;
  const FiredBuffer& fired = workspace.fired_of(a.bits_of, plan.lif.size());
  return fired.step == step ? fired.bits.data() : nullptr;
}

template <typename P>
void affine(Plan& plan, const AffineArgs& a, int affine_index, int destination,
            const StepRange& range, std::int64_t step, Workspace& workspace) {
  const P* ahead = nullptr;
  if (input_known_ahead(plan, a))
    ahead = products_ahead<P>(plan, a, range, step, workspace,
                              workspace.ahead<P>(affine_index, plan.affine.size()));
  else
    products<P>(
        plan, a, range, step, step + 1, workspace.of<P>(),
        [&](const Frame& frame) { return frame.at<P>(a.product_slot); },
        fired_bits(plan, a, step, workspace));
  // The samples' products lie `product_stride` apart, their sums `out_stride` apart.
  const Frame first{plan.slots, range.first_sample, step};
  const P* product = ahead ? ahead : first.at<const P>(a.product_slot);
  const std::int64_t product_stride =
      ahead ? column_stride(a.rows) : plan.slots[a.product_slot].sample_stride;
  if constexpr (std::is_same_v<P, float>)
    if (a.bias_in_reader && workspace.defer_bias) {
      workspace.deferred_of(affine_index, plan.affine.size()) = {product, product_stride, step,
                                                                 destination};
      return;
    }
  const std::int64_t out_stride = plan.slots[destination].sample_stride;
  const std::int64_t samples = range.end_sample - range.first_sample;
  const auto sums_of = [&](auto zero) {
    using R = decltype(zero);
    R* out = first.at<R>(destination);
    add_bias_clipped(product, product_stride, static_cast<const R*>(a.bias), out, out_stride,
                     a.rows, samples, a.bounds.of<R>());
  };
  if (plan.slots[destination].dtype == DType::f32)
    sums_of(0.0f);
  else
    sums_of(0.0);
}

// The sums of an Affine whose bias was left to its LIF, written to its output.
void write_deferred_sums(Plan& plan, const AffineArgs& a, DeferredBias& d, const StepRange& range) {
  const Frame first{plan.slots, range.first_sample, d.step};
  add_bias_clipped(d.product, d.stride, static_cast<const float*>(a.bias),
                   first.at<float>(d.destination), plan.slots[d.destination].sample_stride, a.rows,
                   range.end_sample - range.first_sample, a.bounds.f32);
  d.written = true;
}

// A LIF step on the products its Affine left it: adding the bias as it steps where it can,
// else after writing the sums as the Affine would have.
void lif_on_deferred_sums(Plan& plan, const LifArgs& lif, const StepRange& range, std::int64_t step,
                          DeferredBias& d, FiredBits* fired) {
  const AffineArgs& a = plan.affine[lif.sums_of];
  const BiasedSums sums{d.product, d.stride, static_cast<const float*>(a.bias), a.bounds.f32};
  std::int64_t* totals = plan.spike_totals.data() + lif.counter;
  if (lif_steps_on_sums(plan.slots, lif, sums, range.first_sample, range.end_sample, step, totals,
                        plan.counters(), fired))
    return;
  write_deferred_sums(plan, a, d, range);
  lif_steps(plan.slots, lif, range.first_sample, range.end_sample, step, totals, plan.counters(),
            fired);
}

// A computed graph's layer for every sample, saturated where it saturates.  The status flags
// its kernels raise stay unreported, as those of the numpy step's calls of the same kernels.
template <typename T>
void layer(Plan& plan, const LayerArgs& a, int destination, const StepRange& range,
           std::int64_t step, Workspace& workspace) {
  const UnreportedFlags unreported;
  const Layer& l = *a.layer;
  T* scratch = workspace.scratch<T>(l.scratch_size());
  for (std::int64_t b = range.first_sample; b < range.end_sample; ++b) {
    const Frame frame{plan.slots, b, step};
    T* out = frame.at<T>(destination);
    if (a.spike_input) {
      compute_layer_on_spikes(l, frame.at<const float>(a.input), out, scratch);
    } else {
      int input = a.input;
      if (a.converted_input >= 0) {
        convert_into(frame, a.input, a.converted_input);
        input = a.converted_input;
      }
      compute_layer(l, frame.at<const T>(input), out, scratch);
    }
    if (l.saturates()) clip_rows(out, 0, l.output_size, 1, a.bounds.of<T>());
  }
}

// run(T{}) with T the element type `type` names.
template <typename Run>
void in_type(DType type, Run run) {
  if (type == DType::f32)
    run(float{});
  else
    run(double{});
}

void execute(Plan& plan, const Instruction& ins, const StepRange& range, std::int64_t step,
             Workspace& workspace) {
  switch (ins.kind) {
    case OpKind::affine: {
      const AffineArgs& a = plan.affine[ins.affine];
      in_type(a.product, [&](auto zero) {
        affine<decltype(zero)>(plan, a, ins.affine, ins.destination, range, step, workspace);
      });
      return;
    }
    case OpKind::lif: {
      const LifArgs& a = plan.lif[ins.lif];
      FiredBuffer* buffer = nullptr;
      FiredBits fired;
      if (a.writes_bits) {
        buffer = &workspace.fired_of(ins.lif, plan.lif.size());
        buffer->bits.resize(static_cast<std::size_t>(workspace.samples * (a.neurons / 16)));
        fired.bits = buffer->bits.data();
      }
      FiredBits* wanted = buffer ? &fired : nullptr;
      DeferredBias* deferred = nullptr;
      if (a.sums_of >= 0 && workspace.defer_bias) {
        DeferredBias& d = workspace.deferred_of(a.sums_of, plan.affine.size());
        if (d.step == step) deferred = &d;
      }
      if (deferred)
        lif_on_deferred_sums(plan, a, range, step, *deferred, wanted);
      else
        lif_steps(plan.slots, a, range.first_sample, range.end_sample, step,
                  plan.spike_totals.data() + a.counter, plan.counters(), wanted);
      if (buffer) buffer->step = fired.written ? step : -1;
      return;
    }
    case OpKind::layer: {
      const LayerArgs& a = plan.layers[ins.layer];
      in_type(a.type, [&](auto zero) {
        layer<decltype(zero)>(plan, a, ins.destination, range, step, workspace);
      });
      return;
    }
    case OpKind::mark:
      return;
    default:
      break;
  }
  for (std::int64_t b = range.first_sample; b < range.end_sample; ++b) {
    const Frame frame{plan.slots, b, step};
    switch (ins.kind) {
      case OpKind::combine:
        combine_into(frame, ins.combine, ins.destination);
        break;
      case OpKind::copy:
        convert_into(frame, ins.source, ins.destination);
        break;
      default:
        break;
    }
  }
}

void record(Plan& plan, const StepRange& range, std::int64_t step) {
  if (step >= plan.recorded_steps) return;
  for (const Recording& r : plan.recordings) {
    for (std::int64_t b = range.first_sample; b < range.end_sample; ++b) {
      const Frame frame{plan.slots, b, step};
      const std::int64_t at = (step * plan.recorded_rows + plan.sample_rows[b]) * r.neurons;
      if (r.kind == Recording::Kind::spikes) {
        const float* spikes = frame.at<const float>(r.slot);
        std::uint8_t* out = static_cast<std::uint8_t*>(r.out) + at;
        for (std::int64_t i = 0; i < r.neurons; ++i) out[i] = spikes[i] != 0.0f;
      } else if (plan.slots[r.slot].dtype == DType::f32) {
        std::copy_n(frame.at<const float>(r.slot), r.neurons, static_cast<double*>(r.out) + at);
      } else {
        std::copy_n(frame.at<const double>(r.slot), r.neurons, static_cast<double*>(r.out) + at);
      }
    }
  }
}

}  // namespace

std::int64_t run_steps(Plan& plan, std::int64_t steps, const StepRange& range,
                       StepObserver& observer, bool time_nodes) {
  // A count too large to finish runs until the observer stops it.
  const std::int64_t end_step = steps > std::numeric_limits<std::int64_t>::max() - range.first_step
                                    ? std::numeric_limits<std::int64_t>::max()
                                    : range.first_step + steps;
  Workspace workspace{range.end_sample - range.first_sample, end_step};
  workspace.defer_bias = !time_nodes && !observer.reads_values();
  const TickClock clock;
  std::vector<std::int64_t> node_ticks(time_nodes ? plan.node_ns.size() : 0, 0);
  std::int64_t completed = 0;
  while (completed < steps) {
    const std::int64_t step = range.first_step + completed;
    // When timing, the clock read that ends one node's compute also starts the next one's
    // if nothing runs in between: one read per boundary instead of two per node.
    std::int64_t clock_at_boundary = -1;
    if (!plan.spike_checks.empty()) check_spikes(plan, range.first_sample, range.end_sample, step);
    for (const Instruction& ins : plan.program) {
      if (!plan.activity.empty())
        count_activity(plan, ins, range.first_sample, range.end_sample, step);
      // Static values are computed at a run's first step and kept; a run from step 0
      // computes some again at step 1, where later steps compute them otherwise (see
      // mark_recomputed_at_step_one), so that they hold what a run's first native step gives.
      if (ins.is_static && completed > 0 && !(step == 1 && ins.recomputed_at_step_one)) continue;
      if (time_nodes && ins.node >= 0) {
        const std::int64_t start = clock_at_boundary >= 0 ? clock_at_boundary : clock.now();
        execute(plan, ins, range, step, workspace);
        clock_at_boundary = clock.now();
        node_ticks[ins.node] += clock_at_boundary - start;
      } else {
        execute(plan, ins, range, step, workspace);
        clock_at_boundary = -1;
      }
    }
    record(plan, range, step);
    ++completed;
    if (!observer.after_step(plan, completed)) break;
  }
  // Outputs whose bias their LIF added hold the sums of the last step when the run stops.
  for (std::size_t k = 0; k < workspace.deferred.size(); ++k)
    if (DeferredBias& d = workspace.deferred[k]; d.step >= 0 && !d.written)
      write_deferred_sums(plan, plan.affine[k], d, range);
  const double ns_per_tick = time_nodes ? clock.nanoseconds_per_tick() : 0.0;
  for (std::size_t i = 0; i < node_ticks.size(); ++i)
    plan.node_ns[i] += std::llround(static_cast<double>(node_ticks[i]) * ns_per_tick);
  return completed;
}

}  // namespace zelka::engine
