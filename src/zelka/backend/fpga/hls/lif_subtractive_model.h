// Leaky integrate-and-fire neurons with reset by subtraction, on fixed-point types.
//
// As lif_model.h, except that a neuron that fires keeps what its membrane held above the
// threshold: the threshold is subtracted instead of the membrane being set to the rest
// potential, so strong inputs are not lost to the reset.
#ifndef ZELKA_NNET_LIF_SUBTRACTIVE_MODEL_H_
#define ZELKA_NNET_LIF_SUBTRACTIVE_MODEL_H_

#include "ap_fixed.h"

namespace nnet {

template <class membrane_T, class decay_T, class data_T, class spike_T, int N>
void lif_subtractive_step(membrane_T membrane[N], data_T input[N], spike_T spikes[N], decay_T decay,
                          membrane_T threshold, membrane_T v_rest) {
LIFSubtractiveNeurons:
  for (int i = 0; i < N; i++) {
#pragma HLS PIPELINE II = 1
    membrane_T leaked = decay * (membrane[i] - v_rest) + v_rest;
    membrane_T v = leaked + input[i];
    bool fire = v >= threshold;
    spikes[i] = fire ? spike_T(1) : spike_T(0);
    membrane[i] = fire ? membrane_T(v - threshold) : v;
  }
}

}  // namespace nnet

#endif
