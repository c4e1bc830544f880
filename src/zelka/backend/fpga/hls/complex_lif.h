// The LIF layer that parameters.h configures: a group of leaky integrate-and-fire neurons
// whose membranes persist from one call to the next.
//
// A layer's configuration derives from nnet::lif_config and sets what differs (parameters.h
// sets n_in, n_out, threshold and leak).  Each call of nnet::lif is one time step: every
// neuron leaks toward v_rest by the factor leak (1 - 1/tau), adds its input, fires (output 1,
// else 0) where the membrane has reached the threshold and is then reset to v_rest, exactly
// as lif_model.h describes.  The membranes start at zero; reset_state = true sets them to
// zero again before the step (the first step of a new input sequence).
#ifndef ZELKA_NNET_COMPLEX_LIF_H_
#define ZELKA_NNET_COMPLEX_LIF_H_

#include "ap_fixed.h"
#include "lif_model.h"

namespace nnet {

struct lif_config {
  // One input and one spike output per neuron.  An input shorter than the neuron count
  // feeds no input at all in a step; a longer one is cut to the neuron count.
  static const unsigned n_in = 1;
  static const unsigned n_out = 1;
  static constexpr float threshold = 1.0f;  // potential at which a neuron fires
  static constexpr float leak = 0.95f;      // decay per step, 1 - 1/tau (tau = 20 steps)
  static constexpr float v_rest = 0.0f;     // potential leaked toward and reset to
  static const unsigned reuse_factor = 1;
  // 24 fractional bits and round-to-nearest: a step adds at most 2^-25 of rounding error
  // per operation, far below the resolution of the layer inputs (ap_fixed<16,6> has 2^-10),
  // so spikes happen at the steps a floating-point simulation gives.  Saturation keeps a
  // runaway membrane at the range limit instead of wrapping it around to negative values.
  typedef ap_fixed<32, 8, AP_RND_CONV, AP_SAT> membrane_t;  // -128 <= v < 128
  typedef ap_fixed<26, 2, AP_RND_CONV, AP_SAT> leak_t;      // -2 <= leak < 2
};

template <class data_T, class res_T, typename CONFIG_T>
void lif(bool reset_state, data_T data[CONFIG_T::n_in], res_T res[CONFIG_T::n_out]) {
  typedef typename CONFIG_T::membrane_t membrane_t;
  typedef typename CONFIG_T::leak_t leak_t;
  // Static storage starts at zero and keeps each neuron's membrane between calls.
  static membrane_t membrane[CONFIG_T::n_out];

  if (reset_state) {
  LIFReset:
    for (unsigned i = 0; i < CONFIG_T::n_out; i++) {
#pragma HLS PIPELINE II = 1
      membrane[i] = 0;
    }
  }

  const leak_t leak = CONFIG_T::leak;
  const membrane_t threshold = CONFIG_T::threshold;
  const membrane_t v_rest = CONFIG_T::v_rest;
  if (CONFIG_T::n_in >= CONFIG_T::n_out) {
    lif_step<membrane_t, leak_t, data_T, res_T, CONFIG_T::n_out>(membrane, data, res, leak,
                                                                 threshold, v_rest);
  } else {
    data_T no_input[CONFIG_T::n_out];
  LIFNoInput:
    for (unsigned i = 0; i < CONFIG_T::n_out; i++) {
#pragma HLS UNROLL
      no_input[i] = 0;
    }
    lif_step<membrane_t, leak_t, data_T, res_T, CONFIG_T::n_out>(membrane, no_input, res, leak,
                                                                 threshold, v_rest);
  }
}

// One step without resetting the membranes.
template <class data_T, class res_T, typename CONFIG_T>
void lif(data_T data[CONFIG_T::n_in], res_T res[CONFIG_T::n_out]) {
  lif<data_T, res_T, CONFIG_T>(false, data, res);
}

}  // namespace nnet

#endif
