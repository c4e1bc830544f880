#include "host/fpga/layers.hpp"

#include "host/fpga/node_attributes.hpp"
#include "host/fpga/node_kinds.hpp"

namespace zelka::host::fpga {
namespace {

// int(x) of any size.
value::Value as_int(nb::handle x) {
  return int_value(steal_or_raise(PyNumber_Long(x.ptr())));
}

double as_float(nb::handle x) {
  nb::object f = steal_or_raise(PyNumber_Float(x.ptr()));
  return PyFloat_AsDouble(f.ptr());
}

Map start(const char* class_name, ValueConverter& cv, nb::handle name) {
  Map m;
  m.set("class_name", class_name);
  m.set("name", cv.to_value(name));
  return m;
}

void add_precision_tail(ValueConverter& cv, nb::handle node, Map& m) {
  for (const char* attr : {"weight_t", "bias_t", "accum_t", "result_t"}) {
    nb::object v = nb::getattr(node, attr, nb::none());
    if (!v.is_none()) m.set(attr, cv.to_value(v));
  }
}

void add_reuse_tail(nb::handle node, Map& m) {
  nb::object rf = node.attr("reuse_factor");
  if (!rf.is_none()) m.set("reuse_factor", as_int(rf));
}

Map pooling(ValueConverter& cv, nb::handle node, nb::handle name, const char* op) {
  Map m = start("Pooling2D", cv, name);
  const PoolingGeometry g = pooling_geometry(node);
  m.set("pool_height", as_int(g.kernel_height));
  m.set("pool_width", as_int(g.kernel_width));
  m.set("stride_height", as_int(g.stride_height));
  m.set("stride_width", as_int(g.stride_width));
  m.set("padding_height", as_int(g.padding_height));
  m.set("padding_width", as_int(g.padding_width));
  m.set("pool_layer", op);
  add_reuse_tail(node, m);
  return m;
}

Map activation(ValueConverter& cv, nb::handle node, nb::handle name, const char* function) {
  Map m = start("Activation", cv, name);
  const value::Value n = as_int(int_attribute(node, "features"));
  m.set("n_in", n);
  m.set("n_out", n);
  m.set("activation", function);
  return m;
}

}  // namespace

Map layer_from_conv2d(ValueConverter& cv, nb::handle node, nb::handle name) {
  const Conv2dGeometry g = conv2d_geometry(node);
  Map m = start("Conv2D", cv, name);
  m.set("n_filt", as_int(g.filters));
  m.set("filt_height", as_int(g.kernel_height));
  m.set("filt_width", as_int(g.kernel_width));
  m.set("stride_height", as_int(g.stride_height));
  m.set("stride_width", as_int(g.stride_width));
  m.set("padding_height", as_int(g.padding_height));
  m.set("padding_width", as_int(g.padding_width));
  m.set("n_in", as_int(g.channels));
  add_precision_tail(cv, node, m);
  add_reuse_tail(node, m);
  return m;
}

Map layer_from_conv1d(ValueConverter& cv, nb::handle node, nb::handle name) {
  const Conv1dGeometry g = conv1d_geometry(node);
  const value::Value stride = as_int(g.stride);
  const value::Value padding = as_int(g.padding);
  Map m = start("Conv1D", cv, name);
  m.set("n_filt", as_int(g.filters));
  m.set("filt_width", as_int(g.kernel_width));
  m.set("stride_width", stride);
  m.set("padding_width", padding);
  m.set("n_in", as_int(g.channels));
  add_precision_tail(cv, node, m);
  add_reuse_tail(node, m);
  return m;
}

Map layer_from_affine(ValueConverter& cv, nb::handle node, nb::handle name) {
  const DenseShape d = dense_shape(node);
  Map m = start("Dense", cv, name);
  m.set("n_in", as_int(d.inputs));
  m.set("n_out", as_int(d.outputs));
  add_precision_tail(cv, node, m);
  add_reuse_tail(node, m);
  return m;
}

Map layer_from_lif(ValueConverter& cv, nb::handle node, nb::handle name) {
  const LifSummary s = lif_summary(node, name);
  const value::Value n = as_int(s.neurons);
  Map m = start("H_LIF", cv, name);
  m.set("n_in", n);
  m.set("n_out", n);
  m.set("threshold", s.threshold);
  m.set("leak", s.decay);
  add_precision_tail(cv, node, m);
  return m;
}

Map layer_from_maxpool2d(ValueConverter& cv, nb::handle node, nb::handle name) {
  return pooling(cv, node, name, "Max");
}

Map layer_from_avgpool2d(ValueConverter& cv, nb::handle node, nb::handle name) {
  return pooling(cv, node, name, "Avg");
}

Map layer_from_batchnorm2d(ValueConverter& cv, nb::handle node, nb::handle name) {
  const value::Value n = as_int(int_attribute(node, "num_features"));
  Map m = start("BatchNormalization", cv, name);
  m.set("n_in", n);
  m.set("n_out", n);
  add_precision_tail(cv, node, m);
  add_reuse_tail(node, m);
  return m;
}

Map layer_from_relu(ValueConverter& cv, nb::handle node, nb::handle name) {
  Map m = activation(cv, node, name, "relu");
  nb::object slope = node.attr("negative_slope");
  if (truth(slope) && !equal(slope, nb::float_(0.0))) {
    m.set("activation", "leaky_relu");
    m.set("leaky_slope", as_float(slope));
  }
  return m;
}

Map layer_from_sigmoid(ValueConverter& cv, nb::handle node, nb::handle name) {
  return activation(cv, node, name, "sigmoid");
}

Map layer_from_flatten(ValueConverter& cv, nb::handle, nb::handle name, nb::handle in_shape) {
  nb::object size = nb::int_(0);
  if (!in_shape.is_none() && truth(in_shape)) {
    size = nb::int_(1);
    for (nb::handle d : in_shape) size = multiply(size, steal_or_raise(PyNumber_Long(d.ptr())));
  }
  Map m = start("Reshape", cv, name);
  m.set("target_shape", value::List{truth(size) ? int_value(size) : value::Value(1)});
  return m;
}

Map layer_for(ValueConverter& cv, nb::handle node, nb::handle name, nb::handle in_shape) {
  const IrKinds& k = node_kinds();
  if (k.is(node, Kind::conv2d)) return layer_from_conv2d(cv, node, name);
  if (k.is(node, Kind::conv1d)) return layer_from_conv1d(cv, node, name);
  if (k.is(node, Kind::affine) || k.is(node, Kind::spiking_affine))
    return layer_from_affine(cv, node, name);
  if (k.is(node, Kind::lif)) return layer_from_lif(cv, node, name);
  if (k.is(node, Kind::max_pool2d)) return layer_from_maxpool2d(cv, node, name);
  if (k.is(node, Kind::avg_pool2d)) return layer_from_avgpool2d(cv, node, name);
  if (k.is(node, Kind::batch_norm1d) || k.is(node, Kind::batch_norm2d))
    return layer_from_batchnorm2d(cv, node, name);
  if (k.is(node, Kind::relu)) return layer_from_relu(cv, node, name);
  if (k.is(node, Kind::sigmoid)) return layer_from_sigmoid(cv, node, name);
  if (k.is(node, Kind::flatten)) return layer_from_flatten(cv, node, name, in_shape);
  throw nb::value_error(("Unsupported node type for hls4ml: " + type_name_of(node)).c_str());
}

Map precision_dict(ValueConverter& cv, nb::handle node) {
  Map m;
  const std::pair<const char*, const char*> keys[] = {
      {"weight_t", "weight"}, {"bias_t", "bias"}, {"accum_t", "accum"}, {"result_t", "result"}};
  for (const auto& [attr, key] : keys) {
    nb::object v = nb::getattr(node, attr, nb::none());
    if (!v.is_none()) m.set(key, cv.to_value(v));
  }
  return m;
}

Map layer_config(ValueConverter& cv, nb::handle node) {
  Map m;
  Map precision = precision_dict(cv, node);
  if (!precision.empty()) m.set("Precision", std::move(precision));
  nb::object rf = nb::getattr(node, "reuse_factor", nb::none());
  if (!rf.is_none()) m.set("ReuseFactor", as_int(rf));
  return m;
}

}  // namespace zelka::host::fpga
