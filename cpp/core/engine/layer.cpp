#include "core/engine/layer.hpp"

#include "core/engine/activations.hpp"
#include "core/engine/normalisation.hpp"

namespace zelka::engine {
namespace {

template <typename T>
const T* bias_or_null(const Layer& layer) {
  return layer.bias<T>().empty() ? nullptr : layer.bias<T>().data();
}

template <typename T>
void compute(const Layer& layer, const T* x, T* y, T* scratch) {
  switch (layer.op) {
    case LayerOp::convolution:
      convolve(layer.convolution, layer.weights<T>().data(), bias_or_null<T>(layer), x, y, scratch);
      return;
    case LayerOp::max_pool:
      max_pool(layer.pooling, x, y);
      return;
    case LayerOp::avg_pool:
      avg_pool(layer.pooling, x, y);
      return;
    case LayerOp::batch_norm:
      batch_norm(x, y, layer.channels, layer.inner, layer.weights<T>().data(),
                 layer.bias<T>().data());
      return;
    case LayerOp::rectify:
      rectify(x, y, layer.input_size, layer.negative_slope);
      return;
    case LayerOp::logistic:
      logistic(x, y, layer.input_size);
      return;
    case LayerOp::hyperbolic_tangent:
      hyperbolic_tangent(x, y, layer.input_size);
      return;
  }
}

}  // namespace

void compute_layer(const Layer& layer, const float* x, float* y, float* scratch) {
  compute(layer, x, y, scratch);
}
void compute_layer(const Layer& layer, const double* x, double* y, double* scratch) {
  compute(layer, x, y, scratch);
}
void compute_layer_on_spikes(const Layer& layer, const float* spikes, float* y, float* scratch) {
  if (layer.op == LayerOp::max_pool)
    max_pool_spikes(layer.pooling, spikes, y);
  else
    convolve_spikes(layer.convolution, layer.weights32.data(), bias_or_null<float>(layer), spikes,
                    y, scratch);
}
void compute_layer_on_spikes(const Layer& layer, const float* spikes, double* y, double* scratch) {
  convolve_spikes(layer.convolution, layer.weights64.data(), bias_or_null<double>(layer), spikes, y,
                  scratch);
}

}  // namespace zelka::engine
