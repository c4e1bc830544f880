#include "core/engine/lif.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/engine/fp_flags.hpp"
#include "core/rules/lif_rule.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#include "core/engine/cpu_features.hpp"
#include "core/engine/quiet_clip.hpp"
#endif

namespace zelka::engine {
namespace {

using rules::LifFire;
using rules::LifReset;

// The parameters in the membrane's type M.
template <typename M>
struct Parameters {
  const M* decay;
  const M* leak;
  const M* threshold;   // compared with
  const M* subtracted;  // taken off by reset "subtract"
};

template <typename M>
Parameters<M> parameters(const LifArgs& a) {
  if constexpr (sizeof(M) == 4)
    return {a.decay32.data(), a.v_leak32.data(), a.v_threshold32.data(), a.subtracted32.data()};
  else
    return {a.decay.data(), a.v_leak.data(), a.v_threshold.data(), a.v_threshold.data()};
}

// A step runs in two passes over the neurons of a group of samples (three for reset
// "subtract"), each written without branches so that it vectorises, and the group's spikes
// are counted before the next group (its values are still in L1).  A group is one sample, or
// `tile` samples whose membranes, spikes and inputs lie one after the other (the parameters
// are repeated as many times): small layers then run long vector loops instead of many short
// ones.  Vector comparisons and clipping raise the invalid-operation flag for a NaN, where
// numpy's comparisons and clip stay silent: the passes that compare discard the flags they
// raise, and the arithmetic whose flags numpy reports runs in a pass of its own.  With AVX-512,
// float32 membranes take one pass instead (one_pass_f32).

// Reset "subtract": 1 in `started_above` where the membrane the step starts from fires (the
// buffer is the node's spike vector, which the step writes anew afterwards).
template <typename M, LifFire Fire>
[[gnu::always_inline]] inline void compare_start(const M* __restrict mem,
                                                 float* __restrict started_above,
                                                 const Parameters<M>& p, std::int64_t length) {
  const M* __restrict threshold = p.threshold;
  for (std::int64_t i = 0; i < length; ++i)
    started_above[i] = rules::lif_fires(mem[i], threshold[i], Fire) ? 1.0f : 0.0f;
}

// The leak, the input and (reset "subtract") the threshold taken off where the start fired.
// M: membrane type; In: input type (void: no input this step).
template <typename M, typename In, LifReset Reset>
[[gnu::always_inline]] inline void integrate(M* __restrict mem, const In* __restrict input,
                                             const float* __restrict started_above,
                                             const Parameters<M>& p, std::int64_t length,
                                             bool plus_zero) {
  const M* __restrict decay = p.decay;
  const M* __restrict leak = p.leak;
  const M* __restrict subtracted = p.subtracted;
  for (std::int64_t i = 0; i < length; ++i) {
    M v = rules::lif_leak(mem[i], decay[i], leak[i]);
    if constexpr (!std::is_void_v<In>) {
      const M in = static_cast<M>(input[i]);
      const M summed = in + M(0);
      v = rules::lif_integrate(v, plus_zero ? summed : in);
    }
    if constexpr (Reset == LifReset::subtract) {
      const M lowered = rules::lif_subtract(v, subtracted[i]);
      v = started_above[i] != 0.0f ? lowered : v;
    }
    mem[i] = v;
  }
}

// Saturate and fire, and (`with_reset`) reset to v_leak where the neuron fired.  The reset
// raises no flag where the bounds and v_leak are finite: one of its two terms is a zero, so
// its products and sum are exact; it then shares this pass, whose flags are discarded.
// R: type of v_leak * spikes.
template <typename M, typename R, LifFire Fire, bool with_reset>
[[gnu::always_inline]] inline void saturate_and_fire(M* __restrict mem, float* __restrict spikes,
                                                     const Parameters<M>& p,
                                                     const R* __restrict leak_r,
                                                     numeric::Bounds<M> bounds,
                                                     std::int64_t length) {
  const M* __restrict threshold = p.threshold;
  for (std::int64_t i = 0; i < length; ++i) {
    M v = numeric::clip(mem[i], bounds);
    const float spike = rules::lif_fires(v, threshold[i], Fire) ? 1.0f : 0.0f;
    spikes[i] = spike;
    if constexpr (with_reset) v = rules::lif_reset(v, spike, leak_r[i], 1.0f);
    mem[i] = v;
  }
}

// R: type of v_leak * spikes.
template <typename M, typename R>
[[gnu::always_inline]] inline void reset(M* __restrict mem, const float* __restrict spikes,
                                         const R* __restrict leak, std::int64_t length) {
  for (std::int64_t i = 0; i < length; ++i)
    mem[i] = rules::lif_reset(mem[i], spikes[i], leak[i], 1.0f);
}

[[gnu::always_inline]] inline std::int64_t count_spikes(const float* __restrict spikes,
                                                        std::int64_t n) {
  std::int32_t fired = 0;  // counted in 32 bits, which vectorises; a layer has fewer neurons
  for (std::int64_t i = 0; i < n; ++i) fired += static_cast<std::int32_t>(spikes[i]);
  return fired;
}

// Reset "v_leak" joins the unreported pass where it raises nothing: v_leak and the bounds
// finite.
template <typename M>
bool reset_raises_nothing(const LifArgs& a, numeric::Bounds<M> bounds) {
  return a.finite_leak && std::isfinite(bounds.lo) && std::isfinite(bounds.hi);
}

#if defined(__x86_64__)
template <bool whole>
__attribute__((target("avx512f"), always_inline)) inline __m512 load_chunk(const float* from,
                                                                           std::int64_t i,
                                                                           __mmask16 valid) {
  if constexpr (whole)
    return _mm512_loadu_ps(from + i);
  else
    return _mm512_maskz_loadu_ps(valid, from + i);
}

// What a step adds to the membranes: nothing, its input, or the sums of the Affine that
// feeds it, whose bias and clip it applies itself (BiasedSums).
enum class Added { nothing, input, biased_sums };

// The parameters of 16 neurons, loaded once for every sample that steps them, and with
// Added::biased_sums the bias and bounds of the Affine's sums.
struct ChunkParameters {
  __m512 decay, leak, threshold, subtracted;
  __m512 bias, sums_lo, sums_hi;
};

template <bool whole>
__attribute__((target("avx512f"), always_inline)) inline ChunkParameters chunk_parameters(
    const Parameters<float>& p, std::int64_t i, __mmask16 valid) {
  return {load_chunk<whole>(p.decay, i, valid),
          load_chunk<whole>(p.leak, i, valid),
          load_chunk<whole>(p.threshold, i, valid),
          load_chunk<whole>(p.subtracted, i, valid),
          _mm512_setzero_ps(),
          _mm512_setzero_ps(),
          _mm512_setzero_ps()};
}

// One chunk of 16 neurons of one_pass_f32, at mem, spikes and input + i: whole (plain loads
// and stores, which cost less than masked ones) or the lanes of `valid`.  With
// Added::biased_sums the input holds the Affine's products, and the chunk adds
// clip(product + bias) as the Affine's own pass forms it (add_bias_clipped).  Returns the
// lanes that fired.
template <LifReset Reset, LifFire Fire, Added added, bool whole>
__attribute__((target("avx512f"), always_inline)) inline __mmask16 lif_chunk(
    float* mem, float* spikes, const float* input, const ChunkParameters& p, std::int64_t i,
    __mmask16 valid, __m512 lo, __m512 hi, bool plus_zero, bool blend_reset) {
  constexpr int fires = Fire == LifFire::above ? _CMP_GT_OQ : _CMP_GE_OQ;
  const __m512 one = _mm512_set1_ps(1.0f);
  __m512 v = load_chunk<whole>(mem, i, valid);
  __mmask16 started_above = 0;
  if constexpr (Reset == LifReset::subtract)
    started_above = _mm512_cmp_ps_mask(v, p.threshold, fires);
  v = _mm512_add_ps(_mm512_mul_ps(p.decay, _mm512_sub_ps(v, p.leak)), p.leak);
  if constexpr (added != Added::nothing) {
    __m512 in = load_chunk<whole>(input, i, valid);
    if constexpr (added == Added::biased_sums)
      in = clip_quietly(_mm512_add_ps(in, p.bias), p.sums_lo, p.sums_hi);
    if (plus_zero) in = _mm512_add_ps(in, _mm512_setzero_ps());
    v = _mm512_add_ps(v, in);
  }
  if constexpr (Reset == LifReset::subtract)
    v = _mm512_mask_blend_ps(started_above, v, _mm512_sub_ps(v, p.subtracted));
  v = clip_quietly(v, lo, hi);
  const __mmask16 fire = _mm512_cmp_ps_mask(v, p.threshold, fires) & valid;
  const __m512 spike = _mm512_maskz_mov_ps(fire, one);
  // Reset "v_leak", v * (1 - spike) + v_leak * spike, for a finite v (the bounds are finite
  // here, and a NaN does not fire): v + v_leak * 0 where the neuron did not fire, and where it
  // did v * 0 + v_leak, which is v_leak when v_leak is not -0.0 (then a zero plus v_leak).
  if constexpr (Reset == LifReset::to_leak) {
    if (blend_reset)
      v = _mm512_mask_mov_ps(_mm512_add_ps(v, _mm512_mul_ps(p.leak, _mm512_setzero_ps())), fire,
                             p.leak);
    else
      v = _mm512_add_ps(_mm512_mul_ps(v, _mm512_sub_ps(one, spike)), _mm512_mul_ps(p.leak, spike));
  }
  if constexpr (whole) {
    _mm512_storeu_ps(mem + i, v);
    _mm512_storeu_ps(spikes + i, spike);
  } else {
    _mm512_mask_storeu_ps(mem + i, valid, v);
    _mm512_mask_storeu_ps(spikes + i, valid, spike);
  }
  return fire;
}

// The samples a chunk of neurons goes through before the next chunk, of n neurons each, one
// after another: few, so that their values of the chunk stay in L1 (measured: tiles of 16 or
// more samples run slower when two threads step blocks at once), and spanning less than 4 KiB,
// since a load from 4 KiB after a store still in flight waits for that store (the processor
// takes them for the same address).
constexpr std::int64_t max_tile_samples = 8;

inline std::int64_t samples_per_tile(std::int64_t n) {
  return std::clamp<std::int64_t>(1024 / std::max<std::int64_t>(n, 1), 1, max_tile_samples);
}

// The whole step of float32 membranes in one pass with AVX-512, where the passes above take
// two or three: its comparisons are quiet (a NaN compares false and raises no flag, as in
// numpy's comparisons and clip), and the reset raises nothing for finite bounds and v_leak
// (see saturate_and_fire), so that only the arithmetic of the leak, the input and the
// subtraction can raise a flag, as in the passes that report theirs.  The operations are the
// rules', lane by lane, in the same order.  Each value is stored once (stores cost more than
// the arithmetic on some processors).
//
// `samples` samples of `n` neurons, one after another in mem, spikes and input (and in the
// parameters, repeated per sample).  Layers of whole chunks (16 divides n) take a chunk of
// neurons at a time through a tile of samples, its parameters held in registers, and add each
// sample's spikes to its total, `stride` apart from `totals` on; others run over the samples'
// neurons as one vector and leave the counting to the caller.  Added::biased_sums takes the
// first way only, `sums` giving the bias and bounds.  The first way also writes `fired` if
// given (the other leaves it unwritten).
template <LifReset Reset, LifFire Fire, Added added>
__attribute__((target("avx512f"))) void one_pass_f32(const LifArgs& a, float* mem, float* spikes,
                                                     const float* input, std::int64_t samples,
                                                     std::int64_t* totals, std::int64_t stride,
                                                     const BiasedSums* sums, FiredBits* fired) {
  const Parameters<float> p = parameters<float>(a);
  const numeric::Bounds<float> bounds = a.bounds.of<float>();
  const std::int64_t n = a.neurons;
  const bool plus_zero = a.input_plus_zero, blend_reset = a.reset_by_blend;
  const __m512 lo = _mm512_set1_ps(bounds.lo), hi = _mm512_set1_ps(bounds.hi);
  constexpr __mmask16 all = 0xffff;
  if (n % 16 == 0) {
    const std::int64_t tile = samples_per_tile(n);
    for (std::int64_t first = 0; first < samples; first += tile) {
      const std::int64_t end = std::min(samples, first + tile);
      // Each sample's spikes are added to its total once: the totals of samples other
      // threads step may share its cache line.
      std::int32_t fired_in_tile[max_tile_samples] = {};
      for (std::int64_t c = 0; c < n; c += 16) {
        ChunkParameters chunk = chunk_parameters<true>(p, c, all);
        if constexpr (added == Added::biased_sums) {
          chunk.bias = _mm512_loadu_ps(sums->bias + c);
          chunk.sums_lo = _mm512_set1_ps(sums->bounds.lo);
          chunk.sums_hi = _mm512_set1_ps(sums->bounds.hi);
        }
        std::uint16_t* bits = fired ? fired->bits + c / 16 : nullptr;
        for (std::int64_t s = first, i = first * n + c; s < end; ++s, i += n) {
          const __mmask16 fire = lif_chunk<Reset, Fire, added, true>(
              mem, spikes, input, chunk, i, all, lo, hi, plus_zero, blend_reset);
          fired_in_tile[s - first] += __builtin_popcount(fire);
          if (bits) bits[s * (n / 16)] = fire;
        }
      }
      for (std::int64_t s = first; s < end; ++s) totals[s * stride] += fired_in_tile[s - first];
    }
    if (fired) fired->written = true;
    return;
  }
  const std::int64_t length = samples * n;
  std::int64_t i = 0;
  for (; i + 16 <= length; i += 16)
    lif_chunk<Reset, Fire, added, true>(mem, spikes, input, chunk_parameters<true>(p, i, all), i,
                                        all, lo, hi, plus_zero, blend_reset);
  if (i < length) {
    const __mmask16 valid = __mmask16((1u << (length - i)) - 1);
    lif_chunk<Reset, Fire, added, false>(mem, spikes, input, chunk_parameters<false>(p, i, valid),
                                         i, valid, lo, hi, plus_zero, blend_reset);
  }
}

// steps() for float32 membranes and inputs through one_pass_f32; false where it does not
// apply (no AVX-512; reset "v_leak" whose reset could raise a flag).  Layers of whole chunks
// step all `contiguous` samples in one call (the parameters are not repeated for them), and
// write `fired` if given; others step groups of `group`.
template <LifReset Reset, LifFire Fire>
bool steps_in_one_pass(std::vector<Slot>& slots, const LifArgs& a, std::int64_t first,
                       std::int64_t end, std::int64_t step, std::int64_t* totals,
                       std::int64_t stride, FiredBits* fired, std::int64_t group, bool contiguous,
                       bool reset_with_fire) {
  if (!has_avx512() || (Reset == LifReset::to_leak && !reset_with_fire)) return false;
  if (a.input >= 0 && slots[a.input].dtype != DType::f32) return false;
  const std::int64_t n = a.neurons;
  const bool whole_chunks = n % 16 == 0;
  FiredBits* chunk_major_fired = nullptr;
  if (whole_chunks && contiguous) {
    group = end - first;
    chunk_major_fired = fired;
  }
  for (std::int64_t b = first; b < end; b += group) {
    const Frame frame{slots, b, step};
    const std::int64_t samples = std::min(group, end - b);
    float* spikes = frame.at<float>(a.spikes);
    std::int64_t* total = totals + b * stride;
    const float* input = a.input < 0 ? nullptr : frame.at<const float>(a.input);
    if (input)
      one_pass_f32<Reset, Fire, Added::input>(a, frame.at<float>(a.membrane), spikes, input,
                                              samples, total, stride, nullptr, chunk_major_fired);
    else
      one_pass_f32<Reset, Fire, Added::nothing>(a, frame.at<float>(a.membrane), spikes, nullptr,
                                                samples, total, stride, nullptr, chunk_major_fired);
    if (!whole_chunks)
      for (std::int64_t s = 0; s < samples; ++s)
        total[s * stride] += count_spikes(spikes + s * n, n);
  }
  return true;
}

// lif_steps_on_sums for one rule: all samples of the range in one pass.
template <LifReset Reset, LifFire Fire>
bool steps_on_sums(std::vector<Slot>& slots, const LifArgs& a, const BiasedSums& sums,
                   std::int64_t first, std::int64_t end, std::int64_t step, std::int64_t* totals,
                   std::int64_t stride, FiredBits* fired) {
  const numeric::Bounds<float> bounds = a.bounds.of<float>();
  if (Reset == LifReset::to_leak && !reset_raises_nothing(a, bounds)) return false;
  const Frame frame{slots, first, step};
  one_pass_f32<Reset, Fire, Added::biased_sums>(
      a, frame.at<float>(a.membrane), frame.at<float>(a.spikes), sums.product, end - first,
      totals + first * stride, stride, &sums, fired);
  return true;
}

template <LifReset Reset>
bool steps_on_sums_with_fire(std::vector<Slot>& slots, const LifArgs& a, const BiasedSums& sums,
                             std::int64_t first, std::int64_t end, std::int64_t step,
                             std::int64_t* totals, std::int64_t stride, FiredBits* fired) {
  if (a.fire == LifFire::above)
    return steps_on_sums<Reset, LifFire::above>(slots, a, sums, first, end, step, totals, stride,
                                                fired);
  return steps_on_sums<Reset, LifFire::at_or_above>(slots, a, sums, first, end, step, totals,
                                                    stride, fired);
}
#endif

template <typename M, typename R, LifReset Reset, LifFire Fire>
[[gnu::always_inline]] inline void steps(std::vector<Slot>& slots, const LifArgs& a,
                                         std::int64_t first, std::int64_t end, std::int64_t step,
                                         std::int64_t* totals, std::int64_t stride,
                                         FiredBits* fired) {
  const Parameters<M> p = parameters<M>(a);
  const R* leak_r = parameters<R>(a).leak;
  const numeric::Bounds<M> bounds = a.bounds.of<M>();
  const std::int64_t n = a.neurons;
  const DType input_type = a.input >= 0 ? slots[a.input].dtype : DType::f32;
  // Samples whose blocks follow one another in every slot the step touches form groups.
  const auto follow = [&](int slot) { return slot < 0 || slots[slot].sample_stride == n; };
  const bool contiguous = follow(a.membrane) && follow(a.spikes) && follow(a.input);
  const std::int64_t group = contiguous ? a.tile : 1;
  const bool reset_with_fire = Reset == LifReset::to_leak && reset_raises_nothing(a, bounds);
#if defined(__x86_64__)
  if constexpr (std::is_same_v<M, float> && std::is_same_v<R, float>)
    if (steps_in_one_pass<Reset, Fire>(slots, a, first, end, step, totals, stride, fired, group,
                                       contiguous, reset_with_fire))
      return;
#endif
  for (std::int64_t b = first; b < end; b += group) {
    const Frame frame{slots, b, step};
    const std::int64_t samples = std::min(group, end - b);
    const std::int64_t length = samples * n;
    M* mem = frame.at<M>(a.membrane);
    float* spikes = frame.at<float>(a.spikes);
    if constexpr (Reset == LifReset::subtract) {
      const UnreportedFlags unreported;
      compare_start<M, Fire>(mem, spikes, p, length);
    }
    if (a.input < 0)
      integrate<M, void, Reset>(mem, nullptr, spikes, p, length, a.input_plus_zero);
    else if (input_type == DType::f32)
      integrate<M, float, Reset>(mem, frame.at<const float>(a.input), spikes, p, length,
                                 a.input_plus_zero);
    else
      integrate<M, double, Reset>(mem, frame.at<const double>(a.input), spikes, p, length,
                                  a.input_plus_zero);
    {
      const UnreportedFlags unreported;
      if (reset_with_fire)
        saturate_and_fire<M, R, Fire, true>(mem, spikes, p, leak_r, bounds, length);
      else
        saturate_and_fire<M, R, Fire, false>(mem, spikes, p, leak_r, bounds, length);
    }
    if (Reset == LifReset::to_leak && !reset_with_fire) reset<M, R>(mem, spikes, leak_r, length);
    for (std::int64_t s = 0; s < samples; ++s)
      totals[(b + s) * stride] += count_spikes(spikes + s * n, n);
  }
}

// The smallest float whose value is at least x (NaN stays NaN).
float float_at_least(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}

// The largest float whose value is at most x (NaN stays NaN).
float float_at_most(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) > x) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
  return f;
}

// The dispatch on the node's rule is inlined into each instruction-set clone of lif_steps, so
// that every rule's loops are compiled for the clone's vector instructions.
template <typename M, typename R, LifReset Reset>
[[gnu::always_inline]] inline void steps_with_fire(std::vector<Slot>& slots, const LifArgs& a,
                                                   std::int64_t first, std::int64_t end,
                                                   std::int64_t step, std::int64_t* totals,
                                                   std::int64_t stride, FiredBits* fired) {
  if (a.fire == LifFire::above)
    steps<M, R, Reset, LifFire::above>(slots, a, first, end, step, totals, stride, fired);
  else
    steps<M, R, Reset, LifFire::at_or_above>(slots, a, first, end, step, totals, stride, fired);
}

template <typename M, typename R>
[[gnu::always_inline]] inline void steps_of_rule(std::vector<Slot>& slots, const LifArgs& a,
                                                 std::int64_t first, std::int64_t end,
                                                 std::int64_t step, std::int64_t* totals,
                                                 std::int64_t stride, FiredBits* fired) {
  switch (a.reset) {
    case LifReset::to_leak:
      return steps_with_fire<M, R, LifReset::to_leak>(slots, a, first, end, step, totals, stride,
                                                      fired);
    case LifReset::subtract:
      return steps_with_fire<M, R, LifReset::subtract>(slots, a, first, end, step, totals, stride,
                                                       fired);
    case LifReset::none:
      return steps_with_fire<M, R, LifReset::none>(slots, a, first, end, step, totals, stride,
                                                   fired);
  }
}

// `values` (one per neuron) converted by `convert` and repeated `tile` times, in one
// allocation (prepare_lif runs in every call's fixed cost).
template <typename Out, typename Convert>
std::vector<Out> tiled(const std::vector<double>& values, std::int64_t tile, Convert convert) {
  const std::size_t n = values.size();
  std::vector<Out> out(n * static_cast<std::size_t>(tile));
  std::transform(values.begin(), values.end(), out.begin(), convert);
  for (std::int64_t t = 1; t < tile; ++t)
    std::copy_n(out.begin(), n, out.begin() + static_cast<std::ptrdiff_t>(t * n));
  return out;
}

}  // namespace

void prepare_lif(LifArgs& args, std::int64_t samples) {
  // Groups of about 256 neurons: long enough for vector loops, short enough to stay in L1
  // (and no larger than the plan's samples).
  const std::int64_t tile = std::clamp<std::int64_t>(256 / std::max<std::int64_t>(args.neurons, 1),
                                                     1, std::max<std::int64_t>(samples, 1));
  args.tile = tile;
  const auto as_float = [](double value) { return static_cast<float>(value); };
  const auto as_double = [](double value) { return value; };
  // A float32 potential is at least x exactly when it is at least the smallest float at
  // least x, and above x when above the largest float at most x.
  const auto passed_as_float = [&](double threshold) {
    return args.fire == LifFire::above ? float_at_most(threshold) : float_at_least(threshold);
  };
  args.finite_leak = std::ranges::all_of(args.v_leak, [](double leak) {
    return std::isfinite(leak) && std::isfinite(static_cast<float>(leak));
  });
  args.reset_by_blend = args.finite_leak && std::ranges::none_of(args.v_leak, [](double leak) {
                          return leak == 0.0 && std::signbit(static_cast<float>(leak));
                        });
  args.decay32 = tiled<float>(args.decay, tile, as_float);
  args.v_leak32 = tiled<float>(args.v_leak, tile, as_float);
  args.v_threshold32 = tiled<float>(args.v_threshold, tile, passed_as_float);
  args.subtracted32 = tiled<float>(args.v_threshold, tile, as_float);
  if (tile > 1) {
    args.decay = tiled<double>(args.decay, tile, as_double);
    args.v_leak = tiled<double>(args.v_leak, tile, as_double);
    args.v_threshold = tiled<double>(args.v_threshold, tile, as_double);
  }
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void lif_steps(
    std::vector<Slot>& slots, const LifArgs& args, std::int64_t first, std::int64_t end,
    std::int64_t step, std::int64_t* totals, std::int64_t stride, FiredBits* fired) {
  if (slots[args.membrane].dtype == DType::f32)
    steps_of_rule<float, float>(slots, args, first, end, step, totals, stride, fired);
  else if (args.reset_in_f32)
    steps_of_rule<double, float>(slots, args, first, end, step, totals, stride, fired);
  else
    steps_of_rule<double, double>(slots, args, first, end, step, totals, stride, fired);
}

bool lif_steps_on_sums(std::vector<Slot>& slots, const LifArgs& args, const BiasedSums& sums,
                       std::int64_t first, std::int64_t end, std::int64_t step,
                       std::int64_t* totals, std::int64_t stride, FiredBits* fired) {
#if defined(__x86_64__)
  const std::int64_t n = args.neurons;
  const auto follow = [&](int slot) { return slots[slot].sample_stride == n; };
  if (!has_avx512() || slots[args.membrane].dtype != DType::f32 || n % 16 != 0 ||
      sums.stride != n || !follow(args.membrane) || !follow(args.spikes))
    return false;
  switch (args.reset) {
    case LifReset::to_leak:
      return steps_on_sums_with_fire<LifReset::to_leak>(slots, args, sums, first, end, step, totals,
                                                        stride, fired);
    case LifReset::subtract:
      return steps_on_sums_with_fire<LifReset::subtract>(slots, args, sums, first, end, step,
                                                         totals, stride, fired);
    case LifReset::none:
      return steps_on_sums_with_fire<LifReset::none>(slots, args, sums, first, end, step, totals,
                                                     stride, fired);
  }
#endif
  return false;
}

}  // namespace zelka::engine
