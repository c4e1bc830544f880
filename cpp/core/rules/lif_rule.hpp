// The LIF neuron as the simulator defines it.  Each step, for each of a node's neurons:
//
//   1. leak:      mem = decay * (mem - v_leak) + v_leak, with decay = 1 - 1/tau
//   2. integrate: mem = mem + input (gain 1), when the input holds a value for every neuron
//   3. saturate:  mem is clipped to the precision's range
//   4. fire:      spike = mem >= v_threshold (1 or 0)
//   5. reset:     mem = mem * (1 - spike) + v_leak * spike: v_leak where it fired
//
// Each formula is written once, here, for any value type with the arithmetic operators: the
// engine's kernels instantiate it with float and double, the numpy steps with arrays (the
// host's objects, whose operators are numpy's), the converter in float32 and the hardware
// generators in double when they derive their constants.  Every path therefore computes the
// same operations in the same order, and differs only in the type it computes them in.  The
// values are taken by value: the kernels then vectorise them exactly as written in place.
#pragma once

namespace zelka::rules {

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

// Whether a neuron fires; the numpy steps compare whole arrays with numpy's >= instead.
template <typename Mem, typename Threshold>
constexpr bool lif_fires(Mem mem, Threshold v_threshold) {
  return mem >= v_threshold;
}

// `spike` is 1 where the neuron fired and 0 elsewhere, `one` 1 in its type.  v_leak * spike
// is computed in the types of its factors and the sum in the membrane's (one of the two terms
// is zero, so the sum is exact); the numpy steps add the two arrays as numpy adds them.
template <typename Mem, typename Spike, typename Leak, typename One>
constexpr Mem lif_reset(Mem mem, Spike spike, Leak v_leak, One one) {
  return mem * (one - spike) + static_cast<Mem>(v_leak * spike);
}

}  // namespace zelka::rules
