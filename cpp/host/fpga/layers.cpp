#include "host/fpga/layers.hpp"

#include "core/errors.hpp"
#include "host/fpga/node_kinds.hpp"

namespace zelka::host::fpga {
namespace {

std::int64_t as_int(nb::handle x) {
  return nb::cast<std::int64_t>(steal_or_raise(PyNumber_Long(x.ptr())));
}

double as_float(nb::handle x) {
  nb::object f = steal_or_raise(PyNumber_Float(x.ptr()));
  return PyFloat_AsDouble(f.ptr());
}

std::vector<nb::object> unpack_counted(nb::handle obj, std::size_t n) {
  return unpack(obj, n, UnpackWording::counted);
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
  nb::object kernel = node.attr("kernel_size");
  auto k = unpack_counted(kernel, 2);
  nb::object stride = node.attr("stride");
  auto s = unpack_counted(truth(stride) ? stride : kernel, 2);
  auto p = unpack_counted(node.attr("padding"), 2);
  m.set("pool_height", as_int(k[0]));
  m.set("pool_width", as_int(k[1]));
  m.set("stride_height", as_int(s[0]));
  m.set("stride_width", as_int(s[1]));
  m.set("padding_height", as_int(p[0]));
  m.set("padding_width", as_int(p[1]));
  m.set("pool_layer", op);
  add_reuse_tail(node, m);
  return m;
}

Map activation(ValueConverter& cv, nb::handle node, nb::handle name, const char* function) {
  Map m = start("Activation", cv, name);
  const std::int64_t n = as_int(node.attr("features"));
  m.set("n_in", n);
  m.set("n_out", n);
  m.set("activation", function);
  return m;
}

}  // namespace

std::pair<nb::object, nb::object> pair_or_scalar(nb::handle value) {
  if (PyTuple_Check(value.ptr()) || PyList_Check(value.ptr())) {
    auto items = unpack_counted(value, 2);
    return {items[0], items[1]};
  }
  return {nb::borrow(value), nb::borrow(value)};
}

LifSummary summarise_lif(nb::handle node) {
  nb::object tau = node.attr("tau");
  nb::object threshold = node.attr("v_threshold");
  LifSummary s;
  s.neurons = as_int(tau.attr("ndim")) > 0 ? nb::object(tau.attr("shape")[0]) : nb::int_(1);
  const double tau_value =
      as_int(tau.attr("size")) > 0 ? as_float(getitem(tau.attr("flat"), nb::int_(0))) : 1.0;
  s.threshold = as_int(threshold.attr("size")) > 0
                    ? as_float(getitem(threshold.attr("flat"), nb::int_(0)))
                    : 1.0;
  if (tau_value == 0.0) throw ZeroDivisionError("float division");
  s.decay = 1.0 - 1.0 / tau_value;
  return s;
}

Map layer_from_conv2d(ValueConverter& cv, nb::handle node, nb::handle name) {
  auto w = unpack_counted(node.attr("weight").attr("shape"), 4);
  auto [sh, sw] = pair_or_scalar(node.attr("stride"));
  auto [ph, pw] = pair_or_scalar(node.attr("padding"));
  Map m = start("Conv2D", cv, name);
  m.set("n_filt", as_int(w[0]));
  m.set("filt_height", as_int(w[2]));
  m.set("filt_width", as_int(w[3]));
  m.set("stride_height", as_int(sh));
  m.set("stride_width", as_int(sw));
  m.set("padding_height", as_int(ph));
  m.set("padding_width", as_int(pw));
  m.set("n_in", as_int(w[1]));
  add_precision_tail(cv, node, m);
  add_reuse_tail(node, m);
  return m;
}

Map layer_from_conv1d(ValueConverter& cv, nb::handle node, nb::handle name) {
  auto w = unpack_counted(node.attr("weight").attr("shape"), 3);
  const std::int64_t s = as_int(node.attr("stride"));
  const std::int64_t p = as_int(node.attr("padding"));
  Map m = start("Conv1D", cv, name);
  m.set("n_filt", as_int(w[0]));
  m.set("filt_width", as_int(w[2]));
  m.set("stride_width", s);
  m.set("padding_width", p);
  m.set("n_in", as_int(w[1]));
  add_precision_tail(cv, node, m);
  add_reuse_tail(node, m);
  return m;
}

Map layer_from_affine(ValueConverter& cv, nb::handle node, nb::handle name) {
  auto w = unpack_counted(node.attr("weight").attr("shape"), 2);
  Map m = start("Dense", cv, name);
  m.set("n_in", as_int(w[1]));
  m.set("n_out", as_int(w[0]));
  add_precision_tail(cv, node, m);
  add_reuse_tail(node, m);
  return m;
}

Map layer_from_lif(ValueConverter& cv, nb::handle node, nb::handle name) {
  const LifSummary s = summarise_lif(node);
  const std::int64_t n = as_int(s.neurons);
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
  const std::int64_t n = as_int(node.attr("num_features"));
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
  std::int64_t size = 0;
  if (!in_shape.is_none() && truth(in_shape)) {
    size = 1;
    for (nb::handle d : in_shape) size *= as_int(d);
  }
  Map m = start("Reshape", cv, name);
  m.set("target_shape", value::List{value::Value(size != 0 ? size : std::int64_t{1})});
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
