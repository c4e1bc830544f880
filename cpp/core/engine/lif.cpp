#include "core/engine/lif.hpp"

#include <cmath>
#include <limits>

#include "core/engine/fp_flags.hpp"

namespace zelka::engine {
namespace {

// The parameters in the membrane's type M.
template <typename M>
struct Parameters {
  const M* decay;
  const M* leak;
  const M* threshold;
};

template <typename M>
Parameters<M> parameters(const LifArgs& a) {
  if constexpr (sizeof(M) == 4)
    return {a.decay32.data(), a.v_leak32.data(), a.v_threshold32.data()};
  else
    return {a.decay.data(), a.v_leak.data(), a.v_threshold.data()};
}

// A step runs in three passes over the neurons of every sample, each written without
// branches so that it vectorises.  Only the middle one (saturate and threshold) compares,
// and its flags are not reported.

// M: membrane type; In: input type (void: no input this step).
template <typename M, typename In>
[[gnu::always_inline]] inline void integrate(M* __restrict mem, const In* __restrict input,
                                             const Parameters<M>& p, const LifArgs& a) {
  const M* __restrict decay = p.decay;
  const M* __restrict leak = p.leak;
  const bool plus_zero = a.input_plus_zero;
  for (std::int64_t i = 0; i < a.neurons; ++i) {
    const M l = leak[i];
    M v = decay[i] * (mem[i] - l) + l;
    if constexpr (!std::is_void_v<In>) {
      const M in = static_cast<M>(input[i]);
      const M summed = in + M(0);
      v = v + (plus_zero ? summed : in);
    }
    mem[i] = v;
  }
}

template <typename M>
[[gnu::always_inline]] inline void saturate_and_fire(M* __restrict mem, float* __restrict spikes,
                                                     const Parameters<M>& p, const LifArgs& a) {
  const numeric::Bounds<M> bounds = a.bounds.of<M>();
  const M* __restrict threshold = p.threshold;
  for (std::int64_t i = 0; i < a.neurons; ++i) {
    const M v = numeric::clip(mem[i], bounds);
    mem[i] = v;
    spikes[i] = v >= threshold[i] ? 1.0f : 0.0f;
  }
}

// R: type of v_leak * spikes.
template <typename M, typename R>
[[gnu::always_inline]] inline std::int64_t reset(M* __restrict mem, const float* __restrict spikes,
                                                 const LifArgs& a) {
  const R* __restrict leak = parameters<R>(a).leak;
  std::int32_t fired = 0;  // counted in 32 bits, which vectorises; a layer has fewer neurons
  for (std::int64_t i = 0; i < a.neurons; ++i) {
    const float spike = spikes[i];
    const R reset_value = leak[i] * static_cast<R>(spike);
    mem[i] = mem[i] * static_cast<M>(1.0f - spike) + static_cast<M>(reset_value);
    fired += static_cast<std::int32_t>(spike);
  }
  return fired;
}

template <typename M, typename R>
[[gnu::always_inline]] inline void steps(std::vector<Slot>& slots, const LifArgs& a,
                                         std::int64_t first, std::int64_t end, std::int64_t step,
                                         std::int64_t* totals, std::int64_t stride) {
  const Parameters<M> p = parameters<M>(a);
  const DType input_type = a.input >= 0 ? slots[a.input].dtype : DType::f32;
  for (std::int64_t b = first; b < end; ++b) {
    const Frame frame{slots, b, step};
    M* mem = frame.at<M>(a.membrane);
    if (a.input < 0)
      integrate<M, void>(mem, nullptr, p, a);
    else if (input_type == DType::f32)
      integrate<M, float>(mem, frame.at<const float>(a.input), p, a);
    else
      integrate<M, double>(mem, frame.at<const double>(a.input), p, a);
  }
  {
    const UnreportedFlags unreported;
    for (std::int64_t b = first; b < end; ++b) {
      const Frame frame{slots, b, step};
      saturate_and_fire<M>(frame.at<M>(a.membrane), frame.at<float>(a.spikes), p, a);
    }
  }
  for (std::int64_t b = first; b < end; ++b) {
    const Frame frame{slots, b, step};
    totals[b * stride] += reset<M, R>(frame.at<M>(a.membrane), frame.at<const float>(a.spikes), a);
  }
}

// The smallest float whose value is at least x (NaN stays NaN).
float float_at_least(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

}  // namespace

void prepare_lif(LifArgs& args) {
  args.decay32.assign(args.decay.begin(), args.decay.end());
  args.v_leak32.assign(args.v_leak.begin(), args.v_leak.end());
  args.v_threshold32.clear();
  for (double threshold : args.v_threshold) args.v_threshold32.push_back(float_at_least(threshold));
}

__attribute__((target_clones("avx2", "default"))) void lif_steps(
    std::vector<Slot>& slots, const LifArgs& args, std::int64_t first, std::int64_t end,
    std::int64_t step, std::int64_t* totals, std::int64_t stride) {
  if (slots[args.membrane].dtype == DType::f32)
    steps<float, float>(slots, args, first, end, step, totals, stride);
  else if (args.reset_in_f32)
    steps<double, float>(slots, args, first, end, step, totals, stride);
  else
    steps<double, double>(slots, args, first, end, step, totals, stride);
}

}  // namespace zelka::engine
