// nnet::dense for the dense-layer configurations of parameters.h.
//
// parameters.h describes a dense layer by its sizes, reuse factor and types, in a struct
// derived from nnet::dense_config.  nnet::dense needs two things more, both of which it reads
// from the configuration: the kernel it runs (nnet::dense_config's own kernel computes
// nothing, so the output would keep whatever it held) and, for hls4ml's latency kernel, the
// number of multipliers it may use (its ALLOCATION pragma names CONFIG_T::multiplier_limit).
// nnet::dense_adapter<config, strategy> is a parameters.h configuration with both added:
//
//     nnet::dense<input_t, result_t, nnet::dense_adapter<config1, nnet::latency>>(x, y, w1, b1);
//
// The weights are laid out as the strategy's kernel reads them: input-major
// (w[i * n_out + o]) for nnet::latency, output-major (w[o * n_in + i]) for nnet::resource.
#ifndef ZELKA_NNET_DENSE_ADAPTER_H_
#define ZELKA_NNET_DENSE_ADAPTER_H_

#include "nnet_dense.h"

namespace nnet {

// The kernel of a strategy: hls4ml's latency kernel, or its resource kernel for a reuse factor
// up to the input count, or above it (then a multiple of the input count).
template <unsigned Strategy, bool ReuseWithinInputs>
struct dense_kernel_of {
  template <class data_T, class res_T, class CONFIG_T>
  using type = DenseLatency<data_T, res_T, CONFIG_T>;
};

template <>
struct dense_kernel_of<resource, true> {
  template <class data_T, class res_T, class CONFIG_T>
  using type = DenseResource_rf_leq_nin<data_T, res_T, CONFIG_T>;
};

template <>
struct dense_kernel_of<resource, false> {
  template <class data_T, class res_T, class CONFIG_T>
  using type = DenseResource_rf_gt_nin_rem0<data_T, res_T, CONFIG_T>;
};

template <class CONFIG_T, unsigned Strategy>
struct dense_adapter : CONFIG_T {
  static const unsigned strategy = Strategy;
  static const unsigned multiplier_limit =
      DIV_ROUNDUP(CONFIG_T::n_in * CONFIG_T::n_out, CONFIG_T::reuse_factor) -
      CONFIG_T::n_zeros / CONFIG_T::reuse_factor;
  template <class data_T, class res_T, class C>
  using kernel =
      typename dense_kernel_of<Strategy, (CONFIG_T::reuse_factor <=
                                          CONFIG_T::n_in)>::template type<data_T, res_T, C>;
};

}  // namespace nnet

#endif
