#include "core/engine/lif.hpp"

#include "core/engine/fp_flags.hpp"

namespace zelka::engine {
namespace {

// The step runs in three passes over the neurons, each written without branches so that
// it vectorises.  Only the middle one (saturate and threshold) compares, and its flags are
// not reported.

// M: membrane type; In: input type (void: no input this step).
template <typename M, typename In>
void integrate(M* __restrict mem, const In* __restrict input, const LifArgs& a) {
  const double* __restrict decay = a.decay.data();
  const double* __restrict leak = a.v_leak.data();
  const bool plus_zero = a.input_plus_zero;
  for (std::int64_t i = 0; i < a.neurons; ++i) {
    const M l = static_cast<M>(leak[i]);
    M v = static_cast<M>(decay[i]) * (mem[i] - l) + l;
    if constexpr (!std::is_void_v<In>) {
      const M in = static_cast<M>(input[i]);
      const M summed = in + M(0);
      v = v + (plus_zero ? summed : in);
    }
    mem[i] = v;
  }
}

template <typename M>
void saturate_and_fire(M* __restrict mem, float* __restrict spikes, const LifArgs& a) {
  const numeric::Bounds<M> bounds = a.bounds.of<M>();
  const double* __restrict threshold = a.v_threshold.data();
  const UnreportedFlags unreported;
  for (std::int64_t i = 0; i < a.neurons; ++i) {
    const M v = numeric::clip(mem[i], bounds);
    mem[i] = v;
    spikes[i] = static_cast<double>(v) >= threshold[i] ? 1.0f : 0.0f;
  }
}

// R: type of v_leak * spikes.
template <typename M, typename R>
std::int64_t reset(M* __restrict mem, const float* __restrict spikes, const LifArgs& a) {
  const double* __restrict leak = a.v_leak.data();
  std::int64_t fired = 0;
  for (std::int64_t i = 0; i < a.neurons; ++i) {
    const float spike = spikes[i];
    const R reset_value = static_cast<R>(leak[i]) * static_cast<R>(spike);
    mem[i] = mem[i] * static_cast<M>(1.0f - spike) + static_cast<M>(reset_value);
    fired += static_cast<std::int64_t>(spike);
  }
  return fired;
}

template <typename M, typename R>
std::int64_t step(const Frame& frame, const LifArgs& a) {
  M* mem = frame.at<M>(a.membrane);
  float* spikes = frame.at<float>(a.spikes);
  if (a.input < 0) {
    integrate<M, void>(mem, nullptr, a);
  } else if (frame.slots[a.input].dtype == DType::f32) {
    integrate<M, float>(mem, frame.at<const float>(a.input), a);
  } else {
    integrate<M, double>(mem, frame.at<const double>(a.input), a);
  }
  saturate_and_fire(mem, spikes, a);
  return reset<M, R>(mem, spikes, a);
}

}  // namespace

std::int64_t lif_step(const Frame& frame, const LifArgs& args) {
  if (frame.slots[args.membrane].dtype == DType::f32) return step<float, float>(frame, args);
  if (args.reset_in_f32) return step<double, float>(frame, args);
  return step<double, double>(frame, args);
}

}  // namespace zelka::engine
