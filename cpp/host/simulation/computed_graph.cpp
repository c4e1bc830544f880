#include "host/simulation/computed_graph.hpp"

#include <nanobind/stl/vector.h>

#include <cmath>

#include "core/engine/normalisation.hpp"
#include "host/execution_context.hpp"
#include "host/numpy.hpp"

using namespace nanobind::literals;

namespace zelka::host::simulation {
namespace {

using zelka::ir::Computed;
using zelka::ir::info;

std::string shape_text(const Shape& shape) {
  std::string out = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) out += (i ? ", " : "") + std::to_string(shape[i]);
  return out + (shape.size() == 1 ? ",)" : ")");
}

std::optional<Kind> kind_of(nb::handle node, const IrKinds& kinds) {
  for (const zelka::ir::KindInfo& k : zelka::ir::kinds)
    if (kinds.is(node, k.kind)) return k.kind;
  return std::nullopt;
}

// An integer setting (a Python or numpy integer, not a bool).
std::optional<std::int64_t> integer(nb::handle value) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) return std::nullopt;
  nb::object index = steal_or_raise(PyNumber_Index(value.ptr()));
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow) return std::nullopt;
  return v;
}

// A real-number setting (int or float, not a bool).
std::optional<double> real(nb::handle value) {
  if (PyBool_Check(value.ptr())) return std::nullopt;
  if (PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr()) ||
      is_instance(value, Numpy::get().module.attr("number"))) {
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
  }
  return std::nullopt;
}

// A setting per axis: an integer for every axis, or a tuple or list of one per axis.
std::optional<std::vector<std::int64_t>> per_axis(nb::handle value, std::size_t axes) {
  if (const auto one = integer(value)) return std::vector<std::int64_t>(axes, *one);
  if (!PyTuple_Check(value.ptr()) && !PyList_Check(value.ptr())) return std::nullopt;
  if (nb::len(value) != axes) return std::nullopt;
  std::vector<std::int64_t> out;
  for (nb::handle item : value) {
    const auto v = integer(item);
    if (!v) return std::nullopt;
    out.push_back(*v);
  }
  return out;
}

// A float32 or float64 array's shape and type; nothing for any other value.
struct ArrayInfo {
  Shape shape;
  engine::DType dtype;
};

std::optional<ArrayInfo> float_parameter(nb::handle value) {
  if (!is_instance(value, Numpy::get().ndarray)) return std::nullopt;
  engine::DType dtype;
  if (!engine_dtype(value.attr("dtype"), dtype)) return std::nullopt;
  return ArrayInfo{shape_of(value), dtype};
}

// The values of a float parameter array as float64, in C order.
std::vector<double> values_of(nb::handle array) {
  const Numpy& np = Numpy::get();
  nb::object contiguous = np.ascontiguousarray(array, "dtype"_a = np.float64);
  const ArrayData data(contiguous);
  const auto* first = static_cast<const double*>(data.data());
  return std::vector<double>(first, first + data.bytes() / 8);
}

std::vector<float> narrowed(const std::vector<double>& values) {
  return std::vector<float>(values.begin(), values.end());
}

// Reads one node for the walk: what it makes of an input of a given shape.
class NodeReader {
 public:
  NodeReader(nb::handle name, nb::handle node, Kind kind, std::vector<LayerProblem>& problems)
      : name_(name), node_(node), kind_(kind), problems_(problems) {}

  // The output shape for `input`, with the node's layer when it has a kernel; nothing (and
  // a problem listed) when the node cannot compute it.
  std::optional<ComputedNode> read(const Shape& input) {
    ComputedNode out{kind_, input, input, std::nullopt};
    const std::int64_t count = element_count(input);
    switch (info(kind_).computed) {
      case Computed::as_simulated:
        if (kind_ == Kind::lif) return lif(out, count);
        return affine(out, count);
      case Computed::affine:
        return affine(out, count);
      case Computed::convolution:
        return convolution(out);
      case Computed::max_pooling:
      case Computed::average_pooling:
        return pooling(out);
      case Computed::normalisation:
        return normalisation(out);
      case Computed::rectifier:
      case Computed::logistic:
      case Computed::hyperbolic_tangent:
        return activation(out, count);
      case Computed::flattening:
        return flattening(out);
      case Computed::identity:
        return out;
      case Computed::refused:
        break;
    }
    return std::nullopt;
  }

 private:
  std::nullopt_t refuse(const std::string& why) {
    problems_.push_back(
        {nb::borrow(name_), std::string(kind_name(kind_)) + " " + repr_text(name_) + ": " + why});
    return std::nullopt;
  }

  std::string input_text(const ComputedNode& n) const {
    return "input of shape " + shape_text(n.input);
  }

  std::optional<ComputedNode> affine(ComputedNode& n, std::int64_t count) {
    nb::object weight = node_.attr("weight");
    if (!is_instance(weight, Numpy::get().ndarray) || shape_of(weight).size() != 2)
      return refuse("its weight is not a 2-D array");
    const Shape w = shape_of(weight);
    if (count != w[1])
      return refuse(input_text(n) + " (" + std::to_string(count) +
                    " values) for a weight of shape " + shape_text(w) + ", which takes " +
                    std::to_string(w[1]));
    n.output = {w[0]};
    return n;
  }

  std::optional<ComputedNode> lif(ComputedNode& n, std::int64_t count) {
    nb::object threshold = node_.attr("v_threshold");
    if (!is_instance(threshold, Numpy::get().ndarray) || shape_of(threshold).size() == 0)
      return refuse("its v_threshold is not an array of one value per neuron");
    const std::int64_t neurons = shape_of(threshold)[0];
    if (count != neurons)
      return refuse(input_text(n) + " (" + std::to_string(count) + " values) for " +
                    std::to_string(neurons) + " neurons");
    return n;
  }

  // The weight and bias of a convolution, or of a batch normalisation's statistics: float32
  // or float64 arrays, the wider type being the one it computes in.
  std::optional<ArrayInfo> parameter(const char* field, bool optional_field,
                                     engine::DType& widest) {
    nb::object value = node_.attr(field);
    if (optional_field && value.is_none()) return ArrayInfo{{}, engine::DType::f32};
    const auto array = float_parameter(value);
    if (!array) {
      refuse(std::string("its ") + field + " is not a float32 or float64 array");
      return std::nullopt;
    }
    widest = engine::promote(widest, array->dtype);
    return array;
  }

  std::optional<ComputedNode> convolution(ComputedNode& n) {
    const std::size_t axes = kind_ == Kind::conv1d ? 1 : 2;
    engine::DType dtype = engine::DType::f32;
    const auto weight = parameter("weight", false, dtype);
    if (!weight) return std::nullopt;
    if (weight->shape.size() != axes + 2)
      return refuse("its weight of shape " + shape_text(weight->shape) + " is not " +
                    (axes == 1 ? "(out_channels, in_channels, kernel)"
                               : "(out_channels, in_channels, kernel_height, kernel_width)"));
    const auto bias = parameter("bias", true, dtype);
    if (!bias) return std::nullopt;
    const std::int64_t out_channels = weight->shape[0];
    if (!node_.attr("bias").is_none() && bias->shape != Shape{out_channels})
      return refuse("its bias of shape " + shape_text(bias->shape) + " is not one value per " +
                    std::to_string(out_channels) + " output channels");
    const auto stride = per_axis(node_.attr("stride"), axes);
    const auto padding = per_axis(node_.attr("padding"), axes);
    const auto dilation = per_axis(node_.attr("dilation"), axes);
    const auto groups = integer(node_.attr("groups"));
    const auto positive = [](const auto& v, std::int64_t least) {
      if (!v) return false;
      for (std::int64_t x : *v)
        if (x < least) return false;
      return true;
    };
    if (!positive(stride, 1))
      return refuse(setting("stride") + " is not a positive integer per axis");
    if (!positive(padding, 0))
      return refuse(setting("padding") + " is not a non-negative integer per axis");
    if (!positive(dilation, 1))
      return refuse(setting("dilation") + " is not a positive integer per axis");
    if (!groups || *groups < 1) return refuse(setting("groups") + " is not a positive integer");
    if (n.input.size() != axes + 1)
      return refuse(input_text(n) + " is not " +
                    (axes == 1 ? "(channels, length)" : "(channels, height, width)"));
    engine::ConvolutionShape s;
    s.in_channels = n.input[0];
    s.out_channels = out_channels;
    s.groups = *groups;
    s.in_height = axes == 1 ? 1 : n.input[1];
    s.in_width = n.input.back();
    s.kernel_height = axes == 1 ? 1 : weight->shape[2];
    s.kernel_width = weight->shape.back();
    s.stride_height = axes == 1 ? 1 : (*stride)[0];
    s.stride_width = stride->back();
    s.padding_height = axes == 1 ? 0 : (*padding)[0];
    s.padding_width = padding->back();
    s.dilation_height = axes == 1 ? 1 : (*dilation)[0];
    s.dilation_width = dilation->back();
    if (weight->shape[1] * s.groups != s.in_channels)
      return refuse(input_text(n) + " has " + std::to_string(s.in_channels) +
                    " channels; its weight of shape " + shape_text(weight->shape) +
                    " and groups=" + std::to_string(s.groups) + " take " +
                    std::to_string(weight->shape[1] * s.groups));
    if (const auto why = engine::fit_convolution(s)) return refuse(input_text(n) + ": " + *why);
    n.output = axes == 1 ? Shape{s.out_channels, s.out_width}
                         : Shape{s.out_channels, s.out_height, s.out_width};
    engine::Layer layer;
    layer.op = engine::LayerOp::convolution;
    layer.convolution = s;
    layer.parameters = dtype;
    n.layer = std::move(layer);
    return n;
  }

  std::string setting(const char* field) const {
    return std::string(field) + "=" + repr_text(node_.attr(field));
  }

  std::optional<ComputedNode> pooling(ComputedNode& n) {
    const auto kernel = per_axis(node_.attr("kernel_size"), 2);
    nb::object stride_value = node_.attr("stride");
    const bool stride_is_kernel =
        stride_value.is_none() ||
        ((PyTuple_Check(stride_value.ptr()) || PyList_Check(stride_value.ptr())) &&
         nb::len(stride_value) == 0);
    const auto stride = stride_is_kernel ? kernel : per_axis(stride_value, 2);
    const auto padding = per_axis(node_.attr("padding"), 2);
    if (!kernel || (*kernel)[0] < 1 || (*kernel)[1] < 1)
      return refuse(setting("kernel_size") + " is not a positive integer or pair");
    if (!stride || (*stride)[0] < 1 || (*stride)[1] < 1)
      return refuse(setting("stride") +
                    " is not a positive integer or pair (or () for the window)");
    if (!padding || (*padding)[0] < 0 || (*padding)[1] < 0)
      return refuse(setting("padding") + " is not a non-negative integer or pair");
    if (n.input.size() != 3) return refuse(input_text(n) + " is not (channels, height, width)");
    engine::PoolingShape s;
    s.channels = n.input[0];
    s.in_height = n.input[1];
    s.in_width = n.input[2];
    s.kernel_height = (*kernel)[0];
    s.kernel_width = (*kernel)[1];
    s.stride_height = (*stride)[0];
    s.stride_width = (*stride)[1];
    s.padding_height = (*padding)[0];
    s.padding_width = (*padding)[1];
    if (const auto why = engine::fit_pooling(s)) return refuse(input_text(n) + ": " + *why);
    n.output = {s.channels, s.out_height, s.out_width};
    engine::Layer layer;
    layer.op = kind_ == Kind::max_pool2d ? engine::LayerOp::max_pool : engine::LayerOp::avg_pool;
    layer.pooling = s;
    n.layer = std::move(layer);
    return n;
  }

  std::optional<ComputedNode> normalisation(ComputedNode& n) {
    const bool two_d = kind_ == Kind::batch_norm2d;
    const bool fits = two_d ? n.input.size() == 3 : n.input.size() == 1 || n.input.size() == 2;
    const auto features = integer(node_.attr("num_features"));
    if (!features || *features < 1)
      return refuse(setting("num_features") + " is not a positive integer");
    if (!fits)
      return refuse(input_text(n) + " is not " +
                    (two_d ? "(channels, height, width)" : "(features,) or (channels, length)"));
    if (n.input[0] != *features)
      return refuse(input_text(n) + " has " + std::to_string(n.input[0]) +
                    " channels for num_features=" + std::to_string(*features));
    engine::DType dtype = engine::DType::f32;
    for (const auto& [field, optional_field] : {std::pair{"running_mean", false},
                                                {"running_var", false},
                                                {"gamma", true},
                                                {"beta", true}}) {
      const auto array = parameter(field, optional_field, dtype);
      if (!array) return std::nullopt;
      if (!node_.attr(field).is_none() && array->shape != Shape{*features})
        return refuse(std::string("its ") + field + " of shape " + shape_text(array->shape) +
                      " is not one value per " + std::to_string(*features) + " channels");
    }
    if (!real(node_.attr("eps"))) return refuse(setting("eps") + " is not a number");
    engine::Layer layer;
    layer.op = engine::LayerOp::batch_norm;
    layer.channels = *features;
    layer.inner = element_count(n.input) / *features;
    layer.parameters = dtype;
    n.layer = std::move(layer);
    return n;
  }

  std::optional<ComputedNode> activation(ComputedNode& n, std::int64_t count) {
    engine::Layer layer;
    layer.op = info(kind_).computed == Computed::rectifier  ? engine::LayerOp::rectify
               : info(kind_).computed == Computed::logistic ? engine::LayerOp::logistic
                                                            : engine::LayerOp::hyperbolic_tangent;
    if (layer.op == engine::LayerOp::rectify) {
      const auto slope = real(node_.attr("negative_slope"));
      if (!slope) return refuse(setting("negative_slope") + " is not a number");
      layer.negative_slope = *slope;
    }
    const auto features = integer(node_.attr("features"));
    if (!features || (*features != 0 && *features != count))
      return refuse(input_text(n) + " (" + std::to_string(count) + " values) for " +
                    setting("features"));
    n.layer = std::move(layer);
    return n;
  }

  std::optional<ComputedNode> flattening(ComputedNode& n) {
    const auto start = integer(node_.attr("start_dim"));
    const auto dims = static_cast<std::int64_t>(n.input.size());
    if (!start || *start < -dims || *start >= std::max<std::int64_t>(dims, 1))
      return refuse(setting("start_dim") + " is not an axis of its " + input_text(n));
    const std::int64_t from = *start < 0 ? *start + dims : *start;
    n.output.assign(n.input.begin(), n.input.begin() + std::min(from, dims));
    n.output.push_back(element_count(Shape(n.input.begin() + std::min(from, dims), n.input.end())));
    return n;
  }

  nb::handle name_, node_;
  Kind kind_;
  std::vector<LayerProblem>& problems_;
};

// The parameters of a layer whose shapes have been checked, in both types.
void load_parameters(engine::Layer& layer, nb::handle node) {
  if (layer.op == engine::LayerOp::convolution) {
    const std::vector<double> weight = values_of(node.attr("weight"));
    layer.weights64.resize(static_cast<std::size_t>(layer.convolution.laid_out_size()));
    engine::weights_by_output_channel(layer.convolution, weight.data(), layer.weights64.data());
    for (double w : weight) layer.finite_weights = layer.finite_weights && std::isfinite(w);
    if (!node.attr("bias").is_none()) layer.bias64 = values_of(node.attr("bias"));
    layer.weights32 = narrowed(layer.weights64);
    layer.bias32 = narrowed(layer.bias64);
    return;
  }
  if (layer.op != engine::LayerOp::batch_norm) return;
  const auto optional_values = [&](const char* field) {
    nb::object value = node.attr(field);
    return value.is_none() ? std::vector<double>() : values_of(value);
  };
  const std::vector<double> mean = values_of(node.attr("running_mean"));
  const std::vector<double> var = values_of(node.attr("running_var"));
  const std::vector<double> gamma = optional_values("gamma"), beta = optional_values("beta");
  const double eps = nb::cast<double>(nb::float_(node.attr("eps")));
  const std::size_t c = mean.size();
  layer.weights64.resize(c);
  layer.bias64.resize(c);
  engine::batch_norm_coefficients(
      static_cast<std::int64_t>(c), mean.data(), var.data(), gamma.empty() ? nullptr : gamma.data(),
      beta.empty() ? nullptr : beta.data(), eps, layer.weights64.data(), layer.bias64.data());
  // float32 statistics give float32 coefficients, computed in float32 as PyTorch does.
  const std::vector<float> mean32 = narrowed(mean), var32 = narrowed(var);
  const std::vector<float> gamma32 = narrowed(gamma), beta32 = narrowed(beta);
  layer.weights32.resize(c);
  layer.bias32.resize(c);
  engine::batch_norm_coefficients(static_cast<std::int64_t>(c), mean32.data(), var32.data(),
                                  gamma32.empty() ? nullptr : gamma32.data(),
                                  beta32.empty() ? nullptr : beta32.data(), eps,
                                  layer.weights32.data(), layer.bias32.data());
}

std::optional<Shape> shape_in(const nb::dict& shapes, nb::handle name) {
  PyObject* value = PyDict_GetItemWithError(shapes.ptr(), name.ptr());
  if (!value) {
    if (PyErr_Occurred()) throw nb::python_error();
    return std::nullopt;
  }
  if (value == Py_None) return std::nullopt;
  return nb::cast<Shape>(nb::handle(value));
}

}  // namespace

const ComputedNode* ComputedGraph::find(nb::handle name) const {
  PyObject* at = PyDict_GetItemWithError(positions.ptr(), name.ptr());
  if (!at) {
    if (PyErr_Occurred()) throw nb::python_error();
    return nullptr;
  }
  return &nodes[nb::cast<std::size_t>(nb::handle(at))];
}

bool computes_layers(nb::handle graph) {
  nb::object layers = nb::getattr(graph, "layers", nb::str("pass_through"));
  if (PyUnicode_Check(layers.ptr())) {
    const std::string text = utf8(layers);
    if (text == "computed") return true;
    if (text == "pass_through") return false;
  }
  raise_formatted(PyExc_ValueError, "Graph layers must be 'pass_through' or 'computed', got {!r}",
                  layers);
}

ComputedGraph read_computed_graph(nb::handle graph, const IrKinds& kinds,
                                  const nb::dict& input_shapes) {
  ComputedGraph out;
  const ExecutionContext context = execution_context(graph);
  nb::object nodes = graph.attr("nodes");
  nb::dict shapes;   // name -> output shape (a tuple) or None where unknown
  nb::dict kind_at;  // name -> kind index, for the nodes of a kind
  for (auto [name, node] : nb::borrow<nb::dict>(nodes)) {
    const std::optional<Kind> kind = kind_of(node, kinds);
    if (!kind) {
      out.problems.push_back({nb::borrow(name), type_name_of(node) + " " + repr_text(name) +
                                                    ": not a zelka.ir node kind"});
      continue;
    }
    kind_at[name] = static_cast<int>(*kind);
    if (info(*kind).computed == Computed::refused)
      out.problems.push_back({nb::borrow(name), std::string(kind_name(*kind)) + " " +
                                                    repr_text(name) +
                                                    ": a computed graph has no computation for "
                                                    "this kind"});
  }
  // Inputs reach their successors a step at a time through back edges: follow the shapes
  // until none changes.
  std::vector<LayerProblem> shape_problems;
  std::vector<std::pair<nb::object, ComputedNode>> read;
  const std::size_t passes = nb::len(context.exec_order) + 1;
  for (std::size_t pass = 0; pass < passes; ++pass) {
    nb::dict before = nb::borrow<nb::dict>(shapes.attr("copy")());
    shape_problems.clear();
    read.clear();
    for (nb::handle name : context.exec_order) {
      PyObject* kind_index = PyDict_GetItemWithError(kind_at.ptr(), name.ptr());
      if (!kind_index) {
        if (PyErr_Occurred()) throw nb::python_error();
        continue;
      }
      const auto kind = static_cast<Kind>(nb::cast<int>(nb::handle(kind_index)));
      nb::object preds = getitem(context.predecessors, name);
      if (kind == Kind::input) {
        const auto shape = shape_in(input_shapes, name);
        shapes[name] = shape ? shape_tuple(*shape) : nb::none();
        continue;
      }
      if (kind == Kind::output) {
        if (truth(preds) && shapes.contains(preds[0])) shapes[name] = shapes[preds[0]];
        continue;
      }
      std::vector<std::pair<nb::handle, std::optional<Shape>>> given;
      for (nb::handle p : preds)
        if (shapes.contains(p)) given.emplace_back(p, shape_in(shapes, p));
      if (given.empty()) continue;
      bool known = true, same = true;
      for (const auto& [p, shape] : given) {
        known = known && shape.has_value();
        same = same && (!shape || !given[0].second || *shape == *given[0].second);
      }
      if (!same) {
        std::string listed;
        for (const auto& [p, shape] : given)
          listed += (listed.empty() ? "" : ", ") + repr_text(p) + " " + shape_text(*shape);
        shape_problems.push_back(
            {nb::borrow(name), std::string(kind_name(kind)) + " " + repr_text(name) +
                                   " sums inputs of different shapes: " + listed});
      }
      if (!known || !same || info(kind).computed == Computed::refused) {
        shapes[name] = nb::none();
        continue;
      }
      NodeReader reader(name, getitem(nodes, name), kind, shape_problems);
      std::optional<ComputedNode> node = reader.read(*given[0].second);
      shapes[name] = node ? shape_tuple(node->output) : nb::none();
      if (node) read.emplace_back(nb::borrow(name), std::move(*node));
    }
    if (equal(shapes, before)) break;
  }
  out.problems.insert(out.problems.end(), shape_problems.begin(), shape_problems.end());
  for (auto& [name, node] : read) {
    if (node.layer) {
      load_parameters(*node.layer, getitem(nodes, name));
      node.layer->input_size = element_count(node.input);
      node.layer->output_size = element_count(node.output);
    }
    out.positions[name] = out.nodes.size();
    out.nodes.push_back(std::move(node));
  }
  return out;
}

std::string refusal_text(const std::vector<LayerProblem>& problems) {
  std::string text = "The graph's layers cannot be computed:";
  for (const LayerProblem& p : problems) text += "\n- " + p.text;
  return text;
}

nb::dict stimulus_shapes(nb::handle graph, const IrKinds& kinds, nb::handle stimuli,
                         std::size_t leading, bool fill_missing) {
  nb::dict out;
  for (auto [name, node] : nb::borrow<nb::dict>(graph.attr("nodes"))) {
    if (!kinds.is(node, Kind::input)) continue;
    PyObject* value = PyDict_GetItemWithError(stimuli.ptr(), name.ptr());
    if (!value && PyErr_Occurred()) throw nb::python_error();
    if (!value) {
      if (fill_missing) out[name] = shape_tuple({1});
      continue;
    }
    const Shape full = nb::cast<Shape>(Numpy::get().module.attr("shape")(nb::handle(value)));
    if (full.size() < leading) continue;
    out[name] = shape_tuple(Shape(full.begin() + static_cast<std::ptrdiff_t>(leading), full.end()));
  }
  return out;
}

nb::dict declared_shapes(nb::handle graph, const IrKinds& kinds) {
  nb::dict out;
  const Numpy& np = Numpy::get();
  for (auto [name, node] : nb::borrow<nb::dict>(graph.attr("nodes"))) {
    if (!kinds.is(node, Kind::input)) continue;
    nb::object declared = node.attr("input_type");
    if (PyDict_Check(declared.ptr())) {
      if (PyDict_Size(declared.ptr()) == 0) continue;
      declared = nb::borrow(*nb::iter(declared.attr("values")()));
    } else if (!is_instance(declared, np.ndarray)) {
      continue;
    }
    try {
      out[name] = np.zeros(declared, "dtype"_a = np.float32).attr("shape");
    } catch (const nb::python_error&) {
      // A declaration numpy cannot make a shape of: its shape stays unknown.
    }
  }
  return out;
}

}  // namespace zelka::host::simulation
