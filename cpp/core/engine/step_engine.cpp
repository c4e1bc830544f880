#include "core/engine/step_engine.hpp"

#include "core/engine/clock.hpp"
#include "core/engine/combine.hpp"
#include "core/engine/fp_flags.hpp"
#include "core/engine/lif.hpp"
#include "core/engine/matvec.hpp"

namespace zelka::engine {
namespace {

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

template <typename P>
void affine_in(std::vector<Slot>& slots, const AffineArgs& a, Slot& out, P* product) {
  const Slot& in = slots[a.input];
  if (a.spike_input) {
    spike_matvec(static_cast<const P*>(a.weight_cols), static_cast<const float*>(in.data), product,
                 a.rows, a.cols);
  } else {
    const P* x = static_cast<const P*>(in.data);
    if (a.converted_input >= 0) {
      convert_into(in, slots[a.converted_input]);
      x = static_cast<const P*>(slots[a.converted_input].data);
    }
    if (a.weight_cols && sparse_enough(x, a.cols))
      weighted_column_matvec(static_cast<const P*>(a.weight_cols), x, product, a.rows, a.cols);
    else
      matvec(static_cast<const P*>(a.weight), x, product, a.rows, a.cols);
  }
  if (out.dtype == DType::f32)
    add_bias_and_saturate(product, a, static_cast<float*>(out.data));
  else
    add_bias_and_saturate(product, a, static_cast<double*>(out.data));
}

void affine(std::vector<Slot>& slots, const AffineArgs& a, Slot& out, Slot& product) {
  if (a.product == DType::f32)
    affine_in(slots, a, out, static_cast<float*>(product.data));
  else
    affine_in(slots, a, out, static_cast<double*>(product.data));
}

void execute(Plan& plan, const Instruction& ins) {
  switch (ins.kind) {
    case OpKind::combine:
      combine_into(plan.slots, ins.combine, plan.slots[ins.destination]);
      break;
    case OpKind::copy:
      convert_into(plan.slots[ins.source], plan.slots[ins.destination]);
      break;
    case OpKind::affine: {
      const AffineArgs& a = plan.affine[ins.affine];
      affine(plan.slots, a, plan.slots[ins.destination], plan.slots[a.product_slot]);
      break;
    }
    case OpKind::lif: {
      const LifArgs& a = plan.lif[ins.lif];
      lif_step(plan.slots, a, plan.spike_totals[a.counter]);
      break;
    }
    case OpKind::mark:
      break;
  }
}

}  // namespace

std::int64_t run_steps(Plan& plan, std::int64_t steps, StepObserver& observer, bool time_nodes) {
  std::int64_t completed = 0;
  bool statics_done = false;
  while (completed < steps) {
    // When timing, the clock read that ends one node's compute also starts the next one's
    // if nothing runs in between: one read per boundary instead of two per node.
    std::int64_t clock_at_boundary = -1;
    for (const Instruction& ins : plan.program) {
      if (ins.is_static && statics_done) continue;
      if (time_nodes && ins.node >= 0) {
        const std::int64_t start = clock_at_boundary >= 0 ? clock_at_boundary : monotonic_ns();
        execute(plan, ins);
        clock_at_boundary = monotonic_ns();
        plan.node_ns[ins.node] += clock_at_boundary - start;
      } else {
        execute(plan, ins);
        clock_at_boundary = -1;
      }
    }
    statics_done = true;
    ++completed;
    if (!observer.after_step(plan, completed)) break;
  }
  return completed;
}

}  // namespace zelka::engine
