#include "host/profiler/graph_view.hpp"

#include "host/numpy.hpp"
#include "host/profiler/counts.hpp"

namespace zelka::host::profiler {
namespace {

// getattr(obj, name, None): only a missing attribute reads as None.
nb::object attribute_or_none(nb::handle obj, nb::handle name) {
  PyObject* value = PyObject_GetAttr(obj.ptr(), name.ptr());
  if (value) return nb::steal(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  return nb::none();
}

bool is_array(nb::handle value) {
  return value.type().is(Numpy::get().ndarray) || is_instance(value, Numpy::get().ndarray);
}

std::int64_t as_int64(nb::handle value) {
  return nb::cast<std::int64_t>(steal_or_raise(PyNumber_Index(value.ptr())));
}

std::int64_t nbytes(nb::handle array) {
  return as_int64(array.attr("nbytes"));
}

std::vector<std::int64_t> dims(nb::handle shape) {
  std::vector<std::int64_t> out;
  for (nb::handle d : shape) out.push_back(as_int64(d));
  return out;
}

// weight.shape[0], weight.shape[1]
std::vector<std::int64_t> affine_dims(nb::handle node) {
  nb::object shape = node.attr("weight").attr("shape");
  return {as_int64(getitem(shape, nb::int_(0))), as_int64(getitem(shape, nb::int_(1)))};
}

// The names of the node's declared fields in declaration order, or nothing when the node
// declares none.
std::optional<std::vector<nb::object>> declared_fields(nb::handle node) {
  PyObject* fields = PyObject_GetAttrString(node.ptr(), "__dataclass_fields__");
  if (!fields) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return std::nullopt;
  }
  nb::object owned = nb::steal(fields);
  std::vector<nb::object> names;
  if (PyDict_CheckExact(fields)) {
    names.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(fields)));
    PyObject *key, *value;
    for (Py_ssize_t pos = 0; PyDict_Next(fields, &pos, &key, &value);)
      names.push_back(nb::borrow(key));
    return names;
  }
  for (nb::handle name : steal_or_raise(PySequence_List(fields))) names.push_back(nb::borrow(name));
  return names;
}

// One node as the rules read it: each attribute read once, on first use.
class NodeView {
 public:
  NodeView(nb::handle node, const IrKinds& kinds) : node_(node), kinds_(kinds) {
    // A node of exactly an IR class holds its fields' values in its instance dict, where
    // they are read without the attribute machinery.
    if (kinds.is_exactly_loaded(node)) {
      if (PyObject* values = PyObject_GenericGetDict(node.ptr(), nullptr))
        instance_values_ = nb::steal(values);
      else
        PyErr_Clear();
    }
    values_.reserve(16);
  }

  nb::handle node() const { return node_; }
  bool is(Kind kind) const { return kinds_.is(node_, kind); }
  bool is_io() const { return is(Kind::input) || is(Kind::output); }

  // The names of the node's declared fields in declaration order, or nothing when the
  // node declares none.
  const std::optional<std::vector<nb::object>>& fields() {
    if (!fields_read_) {
      fields_ = declared_fields(node_);
      fields_read_ = true;
      take_values_in_field_order();
    }
    return fields_;
  }

  // getattr(node, name, None): only a missing attribute reads as None.  Names are known by
  // identity (field names are interned, and so are the names the rules ask for): a name
  // met under another object is read again, which gives the same value.
  nb::object attribute(nb::handle name) {
    for (const auto& [known, value] : values_)
      if (known.is(name)) return value;
    if (instance_values_.is_valid())
      if (PyObject* value = PyDict_GetItemWithError(instance_values_.ptr(), name.ptr())) {
        values_.emplace_back(nb::borrow(name), nb::borrow(value));
        return nb::borrow(value);
      }
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object value = attribute_or_none(node_, name);
    values_.emplace_back(nb::borrow(name), value);
    return value;
  }
  nb::object attribute(const char* name) {
    return attribute(steal_or_raise(PyUnicode_InternFromString(name)));
  }

 private:
  // An IR node's instance dict holds its fields in declaration order (the dataclass's
  // __init__ sets them so), under the very name objects: then every value is taken in one
  // walk of the dict.  Anything else (a field deleted or added) is read field by field.
  void take_values_in_field_order() {
    if (!fields_ || !instance_values_.is_valid() || !values_.empty()) return;
    PyObject* dict = instance_values_.ptr();
    if (PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(fields_->size())) return;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (const nb::object& name : *fields_) {
      if (!PyDict_Next(dict, &pos, &key, &value) || key != name.ptr()) {
        values_.clear();
        return;
      }
      values_.emplace_back(name, nb::borrow(value));
    }
  }

  nb::handle node_;
  const IrKinds& kinds_;
  nb::object instance_values_;  // the node's __dict__, for a node of exactly an IR class
  bool fields_read_ = false;
  std::optional<std::vector<nb::object>> fields_;
  std::vector<std::pair<nb::object, nb::object>> values_;
};

// weight.shape[0], weight.shape[1]
std::vector<std::int64_t> affine_dims(NodeView& view) {
  nb::object shape = view.node().attr("weight").attr("shape");
  return {as_int64(getitem(shape, nb::int_(0))), as_int64(getitem(shape, nb::int_(1)))};
}

// The core id of a node: its core_id when present and truthy, as an int (a float is
// truncated); TypeError "Expected int, got {type name}" for a value that is not a number.
nb::object core_id_of(NodeView& view) {
  nb::object id = view.attribute("core_id");
  if (!truth(id)) return nb::int_(0);
  PyObject* o = id.ptr();
  const bool number = !PyUnicode_Check(o) && !PyBytes_Check(o) && !PyByteArray_Check(o) &&
                      !PyComplex_Check(o) && (PyIndex_Check(o) || PyNumber_Check(o));
  if (!number) raise_formatted(PyExc_TypeError, "Expected int, got {}", id.type().attr("__name__"));
  return steal_or_raise(PyNumber_Long(o));
}

void add_held_arrays(NodeView& view, std::vector<acc::HeldArray>& arrays) {
  if (view.is_io()) return;
  const auto look_at = [&](nb::handle name) {
    nb::object value = view.attribute(name);
    if (is_array(value))
      arrays.push_back(
          {utf8_surrogates_passed(steal_or_raise(PyObject_Str(name.ptr()))), nbytes(value)});
  };
  if (const auto& fields = view.fields()) {
    for (const nb::object& name : *fields) look_at(name);
    return;
  }
  for (std::string_view name : acc::weight_attributes) look_at(nb::str(name.data(), name.size()));
  for (std::string_view name : acc::state_attributes) look_at(nb::str(name.data(), name.size()));
}

acc::MacNode mac_node(NodeView& view) {
  acc::MacNode mac;
  if (view.is(Kind::affine)) {
    mac.rule = acc::MacNode::Rule::affine;
    mac.weight_dims = affine_dims(view);
  } else if (view.is(Kind::conv1d) || view.is(Kind::conv2d)) {
    mac.rule = acc::MacNode::Rule::convolution;
    mac.weight_dims = dims(view.node().attr("weight").attr("shape"));
  } else if (const auto& fields = view.fields()) {
    mac.rule = acc::MacNode::Rule::declared_fields;
    // Only the weight-like fields (the rule's names) can count.
    for (const nb::object& name : *fields) {
      const std::string text = utf8_surrogates_passed(steal_or_raise(PyObject_Str(name.ptr())));
      const bool weight = text.find("weight") != std::string::npos;
      const bool cheap = text.find("cheap") != std::string::npos;
      if (!weight || (cheap && text.find("cheap_weight") == std::string::npos)) continue;
      acc::DeclaredField field{text, std::nullopt};
      nb::object value = view.attribute(name);
      if (is_array(value)) field.shape = dims(value.attr("shape"));
      mac.fields.push_back(std::move(field));
    }
  }
  return mac;
}

void add_lif_neurons(NodeView& view, std::vector<std::int64_t>& neurons) {
  if (view.is(Kind::lif))
    neurons.push_back(
        as_int64(getitem(view.node().attr("v_threshold").attr("shape"), nb::int_(0))));
}

// The node's layer, without what a run measures; its core indexed among `layers`' cores.
void add_layer(NodeView& view, nb::handle name, Layers& layers, nb::dict& core_index) {
  if (view.is_io()) return;
  acc::LayerNode layer;
  nb::object core = core_id_of(view);
  if (!core_index.contains(core)) {
    core_index[core] = layers.core_ids.size();
    layers.core_ids.push_back(core);
  }
  layer.core = nb::cast<int>(core_index[core]);
  const bool affine = view.is(Kind::affine);
  if (affine || view.is(Kind::conv1d) || view.is(Kind::conv2d)) {
    layer.kind = affine ? acc::LayerNode::Kind::affine : acc::LayerNode::Kind::convolution;
    nb::object weight = view.node().attr("weight");
    layer.weight_dims = affine ? affine_dims(view) : dims(weight.attr("shape"));
    nb::object bias = view.attribute("bias");
    layer.weight_bytes = nbytes(weight) + (bias.is_none() ? 0 : nbytes(bias));
  } else if (view.is(Kind::lif)) {
    layer.kind = acc::LayerNode::Kind::lif;
    layer.neurons = as_int64(getitem(view.node().attr("v_threshold").attr("shape"), nb::int_(0)));
  }
  layers.nodes.push_back(std::move(layer));
  layers.names.push_back(nb::borrow(name));
}

}  // namespace

IrKinds load_profile_kinds() {
  return IrKinds::load(
      {Kind::input, Kind::output, Kind::affine, Kind::lif, Kind::conv1d, Kind::conv2d});
}

template <typename Visit>
void GraphReading::each_node(Visit visit) {
  for (nb::handle item : graph_.attr("nodes").attr("items")()) {
    NodeView view(item[1], kinds_);
    visit(view, item[0]);
  }
}

GraphReading::GraphReading(nb::handle graph, const IrKinds& kinds) : graph_(graph), kinds_(kinds) {
  Read read;
  nb::dict core_index;
  try {
    each_node([&](NodeView& view, nb::handle name) {
      add_held_arrays(view, read.held);
      read.macs.push_back(mac_node(view));
      add_lif_neurons(view, read.lif_neurons);
      add_layer(view, name, read.layers, core_index);
    });
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return;  // the phases read the nodes again, and meet the error where they should
  }
  read_ = std::move(read);
}

std::vector<acc::HeldArray> GraphReading::held_arrays() {
  if (read_) return read_->held;
  std::vector<acc::HeldArray> arrays;
  each_node([&](NodeView& view, nb::handle) { add_held_arrays(view, arrays); });
  return arrays;
}

std::vector<acc::MacNode> GraphReading::mac_nodes() {
  if (read_) return read_->macs;
  std::vector<acc::MacNode> nodes;
  each_node([&](NodeView& view, nb::handle) { nodes.push_back(mac_node(view)); });
  return nodes;
}

std::vector<std::int64_t> GraphReading::lif_neurons() {
  if (read_) return read_->lif_neurons;
  std::vector<std::int64_t> neurons;
  each_node([&](NodeView& view, nb::handle) { add_lif_neurons(view, neurons); });
  return neurons;
}

Layers GraphReading::layers(nb::handle per_node_latency, nb::handle spike_counts) {
  Layers out;
  if (read_) {
    out = read_->layers;
  } else {
    nb::dict core_index;
    each_node([&](NodeView& view, nb::handle name) { add_layer(view, name, out, core_index); });
  }
  for (std::size_t i = 0; i < out.nodes.size(); ++i) {
    nb::handle name = out.names[i];
    if (PyObject* latency = PyDict_GetItemWithError(per_node_latency.ptr(), name.ptr()))
      out.nodes[i].latency_us = PyFloat_AsDouble(latency);
    else if (PyErr_Occurred())
      throw nb::python_error();
    if (PyObject* spikes = PyDict_GetItemWithError(spike_counts.ptr(), name.ptr()))
      out.nodes[i].spikes = to_count(spikes);
    else if (PyErr_Occurred())
      throw nb::python_error();
  }
  return out;
}

}  // namespace zelka::host::profiler
