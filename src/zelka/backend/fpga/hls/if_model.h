// Integrate-and-fire neurons on fixed-point types.
//
// One call is one time step of N neurons: each membrane adds its input, the neurons whose
// membrane has reached the threshold fire (spike 1, else 0) and are reset to the rest
// potential.  The caller keeps the membranes from one step to the next.
#ifndef ZELKA_NNET_IF_MODEL_H_
#define ZELKA_NNET_IF_MODEL_H_

#include "ap_fixed.h"

namespace nnet {

template <class membrane_T, class data_T, class spike_T, int N>
void if_step(membrane_T membrane[N], data_T input[N], spike_T spikes[N], membrane_T threshold,
             membrane_T v_rest) {
IFNeurons:
  for (int i = 0; i < N; i++) {
#pragma HLS PIPELINE II = 1
    membrane_T v = membrane[i] + input[i];
    bool fire = v >= threshold;
    spikes[i] = fire ? spike_T(1) : spike_T(0);
    membrane[i] = fire ? v_rest : v;
  }
}

}  // namespace nnet

#endif
