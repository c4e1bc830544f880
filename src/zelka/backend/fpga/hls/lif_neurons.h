// Leaky integrate-and-fire neurons with a decay, a threshold and a rest value of their own,
// stepped as the zelka CPU simulator steps them.
//
// One call of nnet::lif_neurons is one time step.  Every neuron leaks toward its rest value,
//     v = decay * (membrane - rest) + rest,        (decay = 1 - 1/tau)
// adds its input, and fires (spike 1, else 0) where v has reached its threshold (v >= threshold,
// or v > threshold where CONFIG_T::fire_above).  What firing does follows CONFIG_T::reset:
//   lif_reset_to_rest: a neuron that fired is set back to its rest value, the others keep v;
//   lif_reset_subtract: a neuron whose step starts from a membrane that fires (by the same
//     comparison) has its threshold taken off after the leak and the input, before it fires;
//   lif_reset_none: every neuron keeps v.
// An input of at least one value per neuron is added element by element (values past the
// neuron count are not used); a shorter one feeds no input at all, as in the simulator.  The
// caller keeps the membranes between calls and clears them with nnet::lif_reset.
//
// The leak is computed at full precision and rounded once into membrane_T, and so are the sum
// with the input and the subtraction; membrane_T's own quantisation and overflow modes decide
// how (round to nearest and saturate make the membrane follow a floating-point one closely).
//
// CONFIG_T gives n_in (the input's length), n_out (the neuron count), reuse_factor,
// multiplier_limit (the multipliers the leak may use), reset and fire_above.
#ifndef ZELKA_NNET_LIF_NEURONS_H_
#define ZELKA_NNET_LIF_NEURONS_H_

namespace nnet {

enum lif_reset_rule { lif_reset_to_rest, lif_reset_subtract, lif_reset_none };

template <bool above, class membrane_T>
bool lif_fires(const membrane_T& v, const membrane_T& threshold) {
#pragma HLS INLINE
  return above ? v > threshold : v >= threshold;
}

template <typename CONFIG_T, class membrane_T>
void lif_reset(membrane_T membrane[CONFIG_T::n_out]) {
#pragma HLS INLINE
LIFReset:
  for (unsigned i = 0; i < CONFIG_T::n_out; i++) {
#pragma HLS UNROLL
    membrane[i] = 0;
  }
}

template <class data_T, class spike_T, typename CONFIG_T, class membrane_T, class decay_T>
void lif_neurons(data_T input[CONFIG_T::n_in], spike_T spikes[CONFIG_T::n_out],
                 membrane_T membrane[CONFIG_T::n_out], decay_T decay[CONFIG_T::n_out],
                 membrane_T threshold[CONFIG_T::n_out], membrane_T rest[CONFIG_T::n_out]) {
#pragma HLS INLINE
#pragma HLS PIPELINE II = CONFIG_T::reuse_factor
#pragma HLS ALLOCATION operation instances = mul limit = CONFIG_T::multiplier_limit
LIFNeurons:
  for (unsigned i = 0; i < CONFIG_T::n_out; i++) {
    const bool started_above = lif_fires<CONFIG_T::fire_above>(membrane[i], threshold[i]);
    membrane_T v = decay[i] * (membrane[i] - rest[i]) + rest[i];
    if (CONFIG_T::n_in >= CONFIG_T::n_out) v = v + input[i];
    if (CONFIG_T::reset == lif_reset_subtract && started_above) v = v - threshold[i];
    const bool fire = lif_fires<CONFIG_T::fire_above>(v, threshold[i]);
    spikes[i] = fire ? spike_T(1) : spike_T(0);
    membrane[i] = CONFIG_T::reset == lif_reset_to_rest && fire ? rest[i] : v;
  }
}

}  // namespace nnet

#endif
