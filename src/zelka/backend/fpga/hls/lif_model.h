// Leaky integrate-and-fire neurons on fixed-point types, stepped as the zelka CPU simulator
// steps them.
//
// One call is one time step of N neurons: each membrane leaks toward the rest potential,
//     membrane = decay * (membrane - v_rest) + v_rest,
// then adds its input; the neurons whose membrane has reached the threshold fire (spike 1,
// else 0) and are reset to the rest potential.  decay is 1 - 1/tau for a time constant of
// tau steps.  The caller keeps the membranes from one step to the next.
#ifndef ZELKA_NNET_LIF_MODEL_H_
#define ZELKA_NNET_LIF_MODEL_H_

#include "ap_fixed.h"

namespace nnet {

template <class membrane_T, class decay_T, class data_T, class spike_T, int N>
void lif_step(membrane_T membrane[N], data_T input[N], spike_T spikes[N], decay_T decay,
              membrane_T threshold, membrane_T v_rest) {
LIFNeurons:
  for (int i = 0; i < N; i++) {
#pragma HLS PIPELINE II = 1
    membrane_T leaked = decay * (membrane[i] - v_rest) + v_rest;
    membrane_T v = leaked + input[i];
    bool fire = v >= threshold;
    spikes[i] = fire ? spike_T(1) : spike_T(0);
    membrane[i] = fire ? v_rest : v;
  }
}

}  // namespace nnet

#endif
