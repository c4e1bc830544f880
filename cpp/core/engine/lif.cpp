#include "core/engine/lif.hpp"

namespace zelka::engine {
namespace {

// M: membrane type; R: type of v_leak * spikes; In: input type (void: no input this step).
// Written without branches so that the loop vectorises.
template <typename M, typename R, typename In>
std::int64_t lif_kernel(M* __restrict mem, const In* __restrict input, float* __restrict spikes,
                        const LifArgs& a) {
  const numeric::Bounds<M> bounds = a.bounds.of<M>();
  const double* __restrict decay = a.decay.data();
  const double* __restrict leak = a.v_leak.data();
  const double* __restrict threshold = a.v_threshold.data();
  const bool plus_zero = a.input_plus_zero;
  std::int64_t fired = 0;
  for (std::int64_t i = 0; i < a.neurons; ++i) {
    const M l = static_cast<M>(leak[i]);
    M v = static_cast<M>(decay[i]) * (mem[i] - l) + l;
    if constexpr (!std::is_void_v<In>) {
      const M in = static_cast<M>(input[i]);
      const M summed = in + M(0);
      v = v + (plus_zero ? summed : in);
    }
    v = numeric::clip(v, bounds);
    const float spike = static_cast<double>(v) >= threshold[i] ? 1.0f : 0.0f;
    const R reset = static_cast<R>(leak[i]) * static_cast<R>(spike);
    mem[i] = v * static_cast<M>(1.0f - spike) + static_cast<M>(reset);
    spikes[i] = spike;
    fired += static_cast<std::int64_t>(spike);
  }
  return fired;
}

template <typename M, typename R>
std::int64_t dispatch_input(std::vector<Slot>& slots, const LifArgs& a) {
  M* mem = static_cast<M*>(slots[a.membrane].data);
  float* spikes = static_cast<float*>(slots[a.spikes].data);
  if (a.input < 0) return lif_kernel<M, R, void>(mem, nullptr, spikes, a);
  const Slot& in = slots[a.input];
  if (in.dtype == DType::f32)
    return lif_kernel<M, R, float>(mem, static_cast<const float*>(in.data), spikes, a);
  return lif_kernel<M, R, double>(mem, static_cast<const double*>(in.data), spikes, a);
}

}  // namespace

void lif_step(std::vector<Slot>& slots, const LifArgs& args, std::int64_t& spike_total) {
  std::int64_t fired;
  if (slots[args.membrane].dtype == DType::f32)
    fired = dispatch_input<float, float>(slots, args);
  else if (args.reset_in_f32)
    fired = dispatch_input<double, float>(slots, args);
  else
    fired = dispatch_input<double, double>(slots, args);
  spike_total += fired;
}

}  // namespace zelka::engine
