// The LIF neuron as the simulator defines it.  Each step, for each of a node's neurons:
//
//   0. (reset "subtract") started_above = fires(mem), on the membrane the step starts from
//   1. leak:      mem = decay * (mem - v_leak) + v_leak, with decay = 1 - 1/tau
//   2. integrate: mem = mem + input (gain 1), when the input holds a value for every neuron
//   2b.(reset "subtract") mem = mem - v_threshold where started_above
//   3. saturate:  mem is clipped to the precision's range
//   4. fire:      spike = mem >= v_threshold (fire ">="), or mem > v_threshold (fire ">")
//   5. (reset "v_leak") mem = mem * (1 - spike) + v_leak * spike: v_leak where it fired
//
// Reset "subtract" takes the threshold off one step after the neuron fired, after that step's
// leak, as snnTorch's Leaky neuron does; reset "none" leaves the membrane as it is.
//
// Each formula is written once, here, for any value type with the arithmetic operators: the
// engine's kernels instantiate it with float and double, the numpy steps with arrays (the
// host's objects, whose operators are numpy's), the converter in float32 and the hardware
// generators in double when they derive their constants.  Every path therefore computes the
// same operations in the same order, and differs only in the type it computes them in.  The
// values are taken by value: the kernels then vectorise them exactly as written in place.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zelka::rules {

// What happens to a neuron's membrane after it fires (the LIF node's `reset`).
enum class LifReset : std::uint8_t { to_leak, subtract, none };
// The comparison that fires a neuron (the LIF node's `fire`).
enum class LifFire : std::uint8_t { at_or_above, above };

// The names a LIF node gives them, the first of each the default.
inline constexpr std::string_view lif_reset_names[] = {"v_leak", "subtract", "none"};
inline constexpr std::string_view lif_fire_names[] = {">=", ">"};

inline std::optional<LifReset> lif_reset_named(std::string_view name) {
  for (std::size_t i = 0; i < std::size(lif_reset_names); ++i)
    if (lif_reset_names[i] == name) return static_cast<LifReset>(i);
  return std::nullopt;
}

inline std::optional<LifFire> lif_fire_named(std::string_view name) {
  for (std::size_t i = 0; i < std::size(lif_fire_names); ++i)
    if (lif_fire_names[i] == name) return static_cast<LifFire>(i);
  return std::nullopt;
}

// The share of its distance to v_leak a membrane keeps each step.  `one` is 1 in the type the
// caller computes in.
template <typename One, typename Tau>
constexpr auto lif_decay(One one, Tau tau) {
  return one - one / tau;
}

template <typename Mem, typename Decay, typename Leak>
constexpr auto lif_leak(Mem mem, Decay decay, Leak v_leak) {
  return decay * (mem - v_leak) + v_leak;
}

template <typename Mem, typename Input>
constexpr auto lif_integrate(Mem mem, Input input) {
  return mem + input;
}

// Whether a neuron fires; the numpy steps compare whole arrays with numpy's >= or > instead.
template <typename Mem, typename Threshold>
constexpr bool lif_fires(Mem mem, Threshold v_threshold, LifFire fire = LifFire::at_or_above) {
  return fire == LifFire::above ? mem > v_threshold : mem >= v_threshold;
}

// Reset "subtract": the threshold taken off a membrane whose step started above it.
template <typename Mem, typename Threshold>
constexpr auto lif_subtract(Mem mem, Threshold v_threshold) {
  return mem - v_threshold;
}

// `spike` is 1 where the neuron fired and 0 elsewhere, `one` 1 in its type.  v_leak * spike
// is computed in the types of its factors and the sum in the membrane's (one of the two terms
// is zero, so the sum is exact); the numpy steps add the two arrays as numpy adds them.
template <typename Mem, typename Spike, typename Leak, typename One>
constexpr Mem lif_reset(Mem mem, Spike spike, Leak v_leak, One one) {
  return mem * (one - spike) + static_cast<Mem>(v_leak * spike);
}

}  // namespace zelka::rules
