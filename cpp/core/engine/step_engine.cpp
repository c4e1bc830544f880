#include "core/engine/step_engine.hpp"

#include "core/engine/clock.hpp"
#include "core/engine/combine.hpp"
#include "core/engine/fp_flags.hpp"
#include "core/engine/lif.hpp"
#include "core/engine/matvec.hpp"

namespace zelka::engine {
namespace {

// Inputs and outputs of the dense products of one Affine instruction, gathered across
// the samples of the range so that each weight row is read once for all of them.
// Allocated once per call of the loop.
struct DenseProducts {
  std::vector<const float*> x32;
  std::vector<float*> y32;
  std::vector<const double*> x64;
  std::vector<double*> y64;

  explicit DenseProducts(std::int64_t samples)
      : x32(samples), y32(samples), x64(samples), y64(samples) {}

  template <typename T>
  std::pair<const T**, T**> of() {
    if constexpr (sizeof(T) == 4)
      return {x32.data(), y32.data()};
    else
      return {x64.data(), y64.data()};
  }
};

// out = saturate(product + bias) in the result type R; the product is in type P.  The
// sum's flags are numpy's to report, the clip's are not.
template <typename P, typename R>
void add_bias_and_saturate(const P* product, const AffineArgs& a, R* out) {
  const R* bias = static_cast<const R*>(a.bias);
  for (std::int64_t r = 0; r < a.rows; ++r) out[r] = static_cast<R>(product[r]) + bias[r];
  const numeric::Bounds<R> bounds = a.bounds.of<R>();
  const UnreportedFlags unreported;
  for (std::int64_t r = 0; r < a.rows; ++r) out[r] = numeric::clip(out[r], bounds);
}

// weight . input for every sample: spikes and sparse inputs by columns, one sample at a
// time; dense inputs together, row by row.
template <typename P>
void products(Plan& plan, const AffineArgs& a, const StepRange& range, std::int64_t step,
              DenseProducts& dense) {
  auto [xs, ys] = dense.of<P>();
  std::int64_t count = 0;
  for (std::int64_t b = range.first_sample; b < range.end_sample; ++b) {
    const Frame frame{plan.slots, b, step};
    P* product = frame.at<P>(a.product_slot);
    if (a.spike_input) {
      spike_matvec(static_cast<const P*>(a.weight_cols), frame.at<const float>(a.input), product,
                   a.rows, a.cols);
      continue;
    }
    int input = a.input;
    if (a.converted_input >= 0) {
      convert_into(frame, a.input, a.converted_input);
      input = a.converted_input;
    }
    const P* x = frame.at<const P>(input);
    if (a.weight_cols && sparse_enough(x, a.cols)) {
      weighted_column_matvec(static_cast<const P*>(a.weight_cols), x, product, a.rows, a.cols);
    } else {
      xs[count] = x;
      ys[count] = product;
      ++count;
    }
  }
  const P* weight = static_cast<const P*>(a.weight);
  if (count == 1)
    matvec(weight, xs[0], ys[0], a.rows, a.cols);
  else if (count > 1)
    matvec_batch(weight, xs, ys, count, a.rows, a.cols);
}

template <typename P>
void affine(Plan& plan, const AffineArgs& a, int destination, const StepRange& range,
            std::int64_t step, DenseProducts& dense) {
  products<P>(plan, a, range, step, dense);
  for (std::int64_t b = range.first_sample; b < range.end_sample; ++b) {
    const Frame frame{plan.slots, b, step};
    const P* product = frame.at<const P>(a.product_slot);
    if (plan.slots[destination].dtype == DType::f32)
      add_bias_and_saturate(product, a, frame.at<float>(destination));
    else
      add_bias_and_saturate(product, a, frame.at<double>(destination));
  }
}

void execute(Plan& plan, const Instruction& ins, const StepRange& range, std::int64_t step,
             DenseProducts& dense) {
  switch (ins.kind) {
    case OpKind::affine: {
      const AffineArgs& a = plan.affine[ins.affine];
      if (a.product == DType::f32)
        affine<float>(plan, a, ins.destination, range, step, dense);
      else
        affine<double>(plan, a, ins.destination, range, step, dense);
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
      case OpKind::lif: {
        const LifArgs& a = plan.lif[ins.lif];
        plan.spike_totals[b * plan.counters() + a.counter] += lif_step(frame, a);
        break;
      }
      default:
        break;
    }
  }
}

void record(Plan& plan, const StepRange& range, std::int64_t step) {
  if (step >= plan.recorded_steps) return;
  for (const Recording& r : plan.recordings) {
    for (std::int64_t b = range.first_sample; b < range.end_sample; ++b) {
      const float* spikes = Frame{plan.slots, b, step}.at<const float>(r.spikes);
      std::uint8_t* out = r.out + (step * plan.recorded_rows + plan.sample_rows[b]) * r.neurons;
      for (std::int64_t i = 0; i < r.neurons; ++i) out[i] = spikes[i] != 0.0f;
    }
  }
}

}  // namespace

std::int64_t run_steps(Plan& plan, std::int64_t steps, const StepRange& range,
                       StepObserver& observer, bool time_nodes) {
  DenseProducts dense(range.end_sample - range.first_sample);
  std::int64_t completed = 0;
  bool statics_done = false;
  while (completed < steps) {
    const std::int64_t step = range.first_step + completed;
    // When timing, the clock read that ends one node's compute also starts the next one's
    // if nothing runs in between: one read per boundary instead of two per node.
    std::int64_t clock_at_boundary = -1;
    for (const Instruction& ins : plan.program) {
      if (ins.is_static && statics_done) continue;
      if (time_nodes && ins.node >= 0) {
        const std::int64_t start = clock_at_boundary >= 0 ? clock_at_boundary : monotonic_ns();
        execute(plan, ins, range, step, dense);
        clock_at_boundary = monotonic_ns();
        plan.node_ns[ins.node] += clock_at_boundary - start;
      } else {
        execute(plan, ins, range, step, dense);
        clock_at_boundary = -1;
      }
    }
    record(plan, range, step);
    statics_done = true;
    ++completed;
    if (!observer.after_step(plan, completed)) break;
  }
  return completed;
}

}  // namespace zelka::engine
