// A layer of a computed graph as both simulation paths run it on one sample: which kernel,
// its geometry and its parameters in the type it computes in.
#pragma once

#include <cstdint>
#include <vector>

#include "core/engine/convolution.hpp"
#include "core/engine/dtype.hpp"
#include "core/engine/pooling.hpp"

namespace zelka::engine {

enum class LayerOp : std::uint8_t {
  convolution,
  max_pool,
  avg_pool,
  batch_norm,
  rectify,
  logistic,
  hyperbolic_tangent
};

struct Layer {
  LayerOp op = LayerOp::rectify;
  ConvolutionShape convolution;
  PoolingShape pooling;
  std::int64_t channels = 0, inner = 0;  // batch normalisation: channels of `inner` values
  double negative_slope = 0.0;
  std::int64_t input_size = 0, output_size = 0;
  // The type its parameters hold: it computes in float64 when they or its input do.
  DType parameters = DType::f32;
  // Convolution: the weights laid out by output channel (weights_by_output_channel) and the
  // bias (empty: none); batch normalisation: alpha and shift.  In both types.
  std::vector<float> weights32, bias32;
  std::vector<double> weights64, bias64;
  bool finite_weights = true;

  // Its result is saturated to the run's precision, as an Affine's is.
  bool saturates() const { return op == LayerOp::convolution || op == LayerOp::batch_norm; }
  // It has a kernel for spike inputs (exactly 0 or 1, float32) computing in `type`.
  bool takes_spikes(DType type) const {
    return (op == LayerOp::convolution && finite_weights) ||
           (op == LayerOp::max_pool && type == DType::f32);
  }
  std::int64_t scratch_size() const {
    return op == LayerOp::convolution ? convolution.scratch_size() : 0;
  }
  template <typename T>
  const std::vector<T>& weights() const {
    return in_type<T>(weights32, weights64);
  }
  template <typename T>
  const std::vector<T>& bias() const {
    return in_type<T>(bias32, bias64);
  }

  // Of two copies of a parameter, the one in T.
  template <typename T>
  static const std::vector<T>& in_type(const std::vector<float>& f32,
                                       const std::vector<double>& f64) {
    if constexpr (sizeof(T) == 4)
      return f32;
    else
      return f64;
  }
};

// y = the layer of x (input_size values in, output_size out); `scratch` holds scratch_size().
void compute_layer(const Layer& layer, const float* x, float* y, float* scratch);
void compute_layer(const Layer& layer, const double* x, double* y, double* scratch);

// The same for spikes, by the spike kernels (takes_spikes(T's type) must hold); equal to
// compute_layer of the same values converted to T.
void compute_layer_on_spikes(const Layer& layer, const float* spikes, float* y, float* scratch);
void compute_layer_on_spikes(const Layer& layer, const float* spikes, double* y, double* scratch);

}  // namespace zelka::engine
