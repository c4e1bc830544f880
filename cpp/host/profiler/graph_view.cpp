#include "host/profiler/graph_view.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <unordered_map>

#include "host/numpy.hpp"
#include "host/profiler/counts.hpp"

namespace zelka::host::profiler {
namespace {

// The names the rules read, interned once for the life of the process (set under the
// interpreter lock on first use).
struct Names {
  nb::object dataclass_fields, weight, bias, shape, nbytes, v_threshold, core_id, nodes;
};

const Names& names() {
  static const Names* loaded = nullptr;
  if (!loaded)
    loaded = new Names{interned("__dataclass_fields__"),
                       interned("weight"),
                       interned("bias"),
                       interned("shape"),
                       interned("nbytes"),
                       interned("v_threshold"),
                       interned("core_id"),
                       interned("nodes")};
  return *loaded;
}

// getattr(obj, name, None): only a missing attribute reads as None.
nb::object attribute_or_none(nb::handle obj, nb::handle name) {
  PyObject* value = PyObject_GetAttr(obj.ptr(), name.ptr());
  if (value) return nb::steal(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  return nb::none();
}

bool is_array(nb::handle value) {
  if (is_exact_ndarray(value)) return true;
  // Values of the built-in scalar types are never arrays: answered without the __class__
  // lookup isinstance makes before it answers no.
  PyObject* v = value.ptr();
  if (v == Py_None || PyFloat_CheckExact(v) || PyLong_CheckExact(v) || PyBool_Check(v) ||
      PyUnicode_CheckExact(v) || PyTuple_CheckExact(v))
    return false;
  return is_instance(value, Numpy::get().ndarray);
}

std::int64_t as_int64(nb::handle value) {
  if (PyLong_CheckExact(value.ptr())) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (!overflow) return v;
  }
  return nb::cast<std::int64_t>(steal_or_raise(PyNumber_Index(value.ptr())));
}

std::vector<std::int64_t> dims(nb::handle shape) {
  std::vector<std::int64_t> out;
  if (PyTuple_CheckExact(shape.ptr())) {
    const Py_ssize_t n = PyTuple_GET_SIZE(shape.ptr());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(as_int64(PyTuple_GET_ITEM(shape.ptr(), i)));
    return out;
  }
  for (nb::handle d : shape) out.push_back(as_int64(d));
  return out;
}

std::int64_t nbytes(nb::handle array) {
  if (const std::optional<std::int64_t> bytes = ndarray_nbytes(array)) return *bytes;
  return as_int64(array.attr(names().nbytes));
}

std::vector<std::int64_t> shape_of_array(nb::handle array) {
  if (is_exact_ndarray(array)) return shape_of(array);
  return dims(array.attr(names().shape));
}

// The first `count` dimensions of an array, read as `array.shape[i]` reads them.
std::vector<std::int64_t> leading_dims(nb::handle array, std::size_t count) {
  if (is_exact_ndarray(array)) {
    std::vector<std::int64_t> shape = shape_of(array);
    if (shape.size() >= count) {
      shape.resize(count);
      return shape;
    }
  }
  nb::object shape = array.attr(names().shape);
  std::vector<std::int64_t> out;
  const bool tuple = PyTuple_CheckExact(shape.ptr()) &&
                     PyTuple_GET_SIZE(shape.ptr()) >= static_cast<Py_ssize_t>(count);
  for (std::size_t i = 0; i < count; ++i)
    out.push_back(tuple ? as_int64(PyTuple_GET_ITEM(shape.ptr(), static_cast<Py_ssize_t>(i)))
                        : as_int64(getitem(shape, nb::int_(i))));
  return out;
}

// A class's declared fields as the rules take them: the names in declaration order, their
// UTF-8 texts, and whether the MAC rule of declared fields counts each one (a name holding
// "weight" but not "cheap", or holding "cheap_weight").
struct DeclaredFields {
  std::vector<nb::object> names;
  std::vector<std::string> texts;
  std::vector<bool> weight_like;
};

std::shared_ptr<const DeclaredFields> fields_named(std::vector<nb::object> names) {
  auto fields = std::make_shared<DeclaredFields>();
  for (const nb::object& name : names) {
    std::string text = utf8_surrogates_passed(steal_or_raise(PyObject_Str(name.ptr())));
    const bool weight = text.find("weight") != std::string::npos;
    const bool cheap = text.find("cheap") != std::string::npos;
    fields->weight_like.push_back(weight &&
                                  (!cheap || text.find("cheap_weight") != std::string::npos));
    fields->texts.push_back(std::move(text));
  }
  fields->names = std::move(names);
  return fields;
}

// The declared fields of a class whose __dataclass_fields__ is a dict, kept per class (a
// few classes, up to a bound) and used while that very dict holds the very same names in
// the same order.
class DeclaredFieldsCache {
 public:
  std::shared_ptr<const DeclaredFields> of(nb::handle type, nb::handle dict) {
    if (const auto hit = entries_.find(type.ptr()); hit != entries_.end()) {
      Entry& entry = hit->second;
      if (entry.dict.is(dict)) {
        if (unchanged_since(dict, entry.version)) return entry.fields;
        if (same_names(dict, entry.fields->names)) {
          entry.version = version_of(dict);
          return entry.fields;
        }
      }
    }
    std::vector<nb::object> names;
    names.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict.ptr())));
    PyObject *key, *value;
    for (Py_ssize_t pos = 0; PyDict_Next(dict.ptr(), &pos, &key, &value);)
      names.push_back(nb::borrow(key));
    auto fields = fields_named(std::move(names));
    if (entries_.size() < 256 || entries_.contains(type.ptr()))
      entries_[type.ptr()] = Entry{nb::borrow(type), nb::borrow(dict), fields, version_of(dict)};
    return fields;
  }

 private:
#if PY_VERSION_HEX < 0x030C0000
  // Up to Python 3.11 a dict carries a version tag that changes with every change made to
  // it: an unchanged tag vouches for unchanged names without reading them.  (Later versions
  // deprecate the tag; there the names are compared.)
  static std::uint64_t version_of(nb::handle dict) {
    return reinterpret_cast<PyDictObject*>(dict.ptr())->ma_version_tag;
  }
  static bool unchanged_since(nb::handle dict, std::uint64_t version) {
    return version_of(dict) == version;
  }
#else
  static std::uint64_t version_of(nb::handle) { return 0; }
  static bool unchanged_since(nb::handle, std::uint64_t) { return false; }
#endif

  static bool same_names(nb::handle dict, const std::vector<nb::object>& names) {
    if (PyDict_GET_SIZE(dict.ptr()) != static_cast<Py_ssize_t>(names.size())) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (const nb::object& name : names)
      if (!PyDict_Next(dict.ptr(), &pos, &key, &value) || key != name.ptr()) return false;
    return true;
  }

  struct Entry {
    nb::object type;  // held, so that no other class takes its address
    nb::object dict;
    std::shared_ptr<const DeclaredFields> fields;
    std::uint64_t version;  // the dict's version tag when its names were last read
  };
  std::unordered_map<PyObject*, Entry> entries_;
};

// The node's declared fields, or nothing when the node declares none.
std::shared_ptr<const DeclaredFields> declared_fields(nb::handle node) {
  PyObject* fields = PyObject_GetAttr(node.ptr(), names().dataclass_fields.ptr());
  if (!fields) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nullptr;
  }
  nb::object owned = nb::steal(fields);
  if (PyDict_CheckExact(fields)) {
    // Kept for the life of the process, with the classes it names.
    static auto* cache = new DeclaredFieldsCache();
    return cache->of(node.type(), owned);
  }
  std::vector<nb::object> names;
  for (nb::handle name : steal_or_raise(PySequence_List(fields))) names.push_back(nb::borrow(name));
  return fields_named(std::move(names));
}

// The (name, value) pairs a NodeView has read, the first few held in place: a node's view
// is made for every node on every call, where a vector would allocate for each.
class ReadValues {
 public:
  std::size_t size() const { return size_; }
  nb::handle name(std::size_t i) const {
    return i < held ? first_[i].first : more_[i - held].first;
  }
  const nb::object& value(std::size_t i) const {
    return i < held ? first_[i].second : more_[i - held].second;
  }
  bool empty() const { return size_ == 0; }

  void add(nb::object name, nb::object value) {
    if (size_ < held)
      first_[size_] = {std::move(name), std::move(value)};
    else
      more_.emplace_back(std::move(name), std::move(value));
    ++size_;
  }

  void clear() {
    for (std::size_t i = 0; i < std::min(size_, held); ++i) first_[i] = {};
    more_.clear();
    size_ = 0;
  }

 private:
  static constexpr std::size_t held = 16;
  std::array<std::pair<nb::object, nb::object>, held> first_;
  std::vector<std::pair<nb::object, nb::object>> more_;
  std::size_t size_ = 0;
};

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
  }

  nb::handle node() const { return node_; }
  bool is(Kind kind) const { return kinds_.is(node_, kind); }
  bool is_io() const { return is(Kind::input) || is(Kind::output); }

  // The node's declared fields, or null when the node declares none.
  const DeclaredFields* fields() {
    if (!fields_read_) {
      fields_ = declared_fields(node_);
      fields_read_ = true;
      take_values_in_field_order();
    }
    return fields_.get();
  }

  // The value of the node's declared field `index`, as attribute() reads it.
  nb::object field_value(std::size_t index) {
    if (in_field_order_) return values_.value(index);
    return attribute(fields_->names[index]);
  }

  // getattr(node, name, None): only a missing attribute reads as None.  Names are known by
  // identity (field names are interned, and so are the names the rules ask for): a name
  // met under another object is read again, which gives the same value.
  nb::object attribute(nb::handle name) {
    if (std::optional<nb::object> value = held(name)) return *value;
    nb::object value = attribute_or_none(node_, name);
    values_.add(nb::borrow(name), value);
    return value;
  }

  // getattr(node, name), which raises AttributeError for a missing attribute.
  nb::object required(nb::handle name) {
    if (std::optional<nb::object> value = held(name)) return *value;
    return steal_or_raise(PyObject_GetAttr(node_.ptr(), name.ptr()));
  }

 private:
  // The value already read under `name`, or the one in the instance dict of an IR node.
  std::optional<nb::object> held(nb::handle name) {
    for (std::size_t i = 0; i < values_.size(); ++i)
      if (values_.name(i).is(name)) return values_.value(i);
    if (!instance_values_.is_valid()) return std::nullopt;
    if (PyObject* value = PyDict_GetItemWithError(instance_values_.ptr(), name.ptr())) {
      values_.add(nb::borrow(name), nb::borrow(value));
      return nb::borrow(value);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return std::nullopt;
  }

  // An IR node's instance dict holds its fields in declaration order (the dataclass's
  // __init__ sets them so), under the very name objects: then every value is taken in one
  // walk of the dict.  Anything else (a field deleted or added) is read field by field.
  void take_values_in_field_order() {
    if (!fields_ || !instance_values_.is_valid() || !values_.empty()) return;
    PyObject* dict = instance_values_.ptr();
    if (PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(fields_->names.size())) return;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (const nb::object& name : fields_->names) {
      if (!PyDict_Next(dict, &pos, &key, &value) || key != name.ptr()) {
        values_.clear();
        return;
      }
      values_.add(name, nb::borrow(value));
    }
    in_field_order_ = true;
  }

  nb::handle node_;
  const IrKinds& kinds_;
  nb::object instance_values_;  // the node's __dict__, for a node of exactly an IR class
  bool fields_read_ = false;
  std::shared_ptr<const DeclaredFields> fields_;
  bool in_field_order_ = false;  // value i of values_ is field i's
  ReadValues values_;
};

// weight.shape[0], weight.shape[1]
std::vector<std::int64_t> affine_dims(NodeView& view) {
  return leading_dims(view.required(names().weight), 2);
}

// The core id of a node: its core_id when present and truthy, as an int (a float is
// truncated); TypeError "Expected int, got {type name}" for a value that is not a number.
nb::object core_id_of(NodeView& view) {
  nb::object id = view.attribute(names().core_id);
  if (!truth(id)) return nb::int_(0);
  PyObject* o = id.ptr();
  const bool number = !PyUnicode_Check(o) && !PyBytes_Check(o) && !PyByteArray_Check(o) &&
                      !PyComplex_Check(o) && (PyIndex_Check(o) || PyNumber_Check(o));
  if (!number) raise_formatted(PyExc_TypeError, "Expected int, got {}", id.type().attr("__name__"));
  return steal_or_raise(PyNumber_Long(o));
}

void add_held_arrays(NodeView& view, std::vector<acc::HeldArray>& arrays) {
  if (view.is_io()) return;
  const auto add = [&](nb::handle value, std::string_view text) {
    if (is_array(value)) arrays.push_back({std::string(text), nbytes(value)});
  };
  if (const DeclaredFields* fields = view.fields()) {
    for (std::size_t i = 0; i < fields->names.size(); ++i)
      add(view.field_value(i), fields->texts[i]);
    return;
  }
  for (std::string_view name : acc::weight_attributes) add(view.attribute(interned(name)), name);
  for (std::string_view name : acc::state_attributes) add(view.attribute(interned(name)), name);
}

acc::MacNode mac_node(NodeView& view, std::optional<acc::Count> computed) {
  acc::MacNode mac;
  if (computed) {
    mac.rule = acc::MacNode::Rule::counted;
    mac.count = *computed;
  } else if (view.is(Kind::affine)) {
    mac.rule = acc::MacNode::Rule::affine;
    mac.weight_dims = affine_dims(view);
  } else if (view.is(Kind::conv1d) || view.is(Kind::conv2d)) {
    mac.rule = acc::MacNode::Rule::convolution;
    mac.weight_dims = shape_of_array(view.required(names().weight));
  } else if (const DeclaredFields* fields = view.fields()) {
    mac.rule = acc::MacNode::Rule::declared_fields;
    // Only the weight-like fields (the rule's names) can count.
    for (std::size_t i = 0; i < fields->names.size(); ++i) {
      if (!fields->weight_like[i]) continue;
      acc::DeclaredField field{fields->texts[i], std::nullopt};
      nb::object value = view.field_value(i);
      if (is_array(value)) field.shape = shape_of_array(value);
      mac.fields.push_back(std::move(field));
    }
  }
  return mac;
}

void add_lif_neurons(NodeView& view, std::vector<std::int64_t>& neurons) {
  if (view.is(Kind::lif)) neurons.push_back(leading_dims(view.required(names().v_threshold), 1)[0]);
}

// The node's layer, without what a run measures; its core indexed among `layers`' cores.
void add_layer(NodeView& view, nb::handle name, Layers& layers, nb::dict& core_index,
               std::optional<acc::Count> computed) {
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
    nb::object weight = view.required(names().weight);
    layer.weight_dims = affine ? leading_dims(weight, 2) : shape_of_array(weight);
    nb::object bias = view.attribute(names().bias);
    layer.weight_bytes = nbytes(weight) + (bias.is_none() ? 0 : nbytes(bias));
  } else if (view.is(Kind::lif)) {
    layer.kind = acc::LayerNode::Kind::lif;
    layer.neurons = leading_dims(view.required(names().v_threshold), 1)[0];
  } else if (computed && *computed > 0) {
    layer.kind = acc::LayerNode::Kind::computed;
  }
  if (layer.kind != acc::LayerNode::Kind::lif) layer.step_macs = computed;
  layers.nodes.push_back(std::move(layer));
  layers.names.push_back(nb::borrow(name));
}

// The multiply-accumulates a node of a computed graph performs in a step: a convolution's
// outputs times the inputs of each (in_channels / groups x kernel size), an Affine's weight,
// one operation per input of each pooling window, one per value normalised or activated.
acc::Count operations(const simulation::ComputedNode& node) {
  const std::int64_t outputs = element_count(node.output);
  if (!node.layer) {
    const bool dense = node.kind == Kind::affine || node.kind == Kind::spiking_affine;
    return dense ? acc::checked_mul(outputs, element_count(node.input)) : 0;
  }
  const engine::Layer& layer = *node.layer;
  switch (layer.op) {
    case engine::LayerOp::convolution:
      return acc::checked_mul(outputs, acc::checked_mul(layer.convolution.in_per_group(),
                                                        layer.convolution.kernel_size()));
    case engine::LayerOp::max_pool:
    case engine::LayerOp::avg_pool:
      return acc::checked_mul(outputs, layer.pooling.kernel_height * layer.pooling.kernel_width);
    default:
      return outputs;
  }
}

}  // namespace

IrKinds load_profile_kinds() {
  return IrKinds::load(zelka::ir::every_kind);
}

template <typename Visit>
void GraphReading::each_node(Visit visit) {
  for_each_item(graph_.attr(names().nodes), [&](nb::handle name, nb::handle node) {
    NodeView view(node, kinds_);
    visit(view, name);
    return true;
  });
}

std::optional<acc::Count> GraphReading::computed_macs(nb::handle name) const {
  if (!computed_) return std::nullopt;
  const simulation::ComputedNode* node = computed_->find(name);
  return node ? operations(*node) : 0;
}

GraphReading::GraphReading(nb::handle graph, const IrKinds& kinds,
                           const simulation::ComputedGraph* computed)
    : graph_(graph), kinds_(kinds), computed_(computed) {
  Read read;
  nb::dict core_index;
  try {
    const auto nodes = static_cast<std::size_t>(PyObject_Length(graph_.attr(names().nodes).ptr()));
    if (nodes != static_cast<std::size_t>(-1)) {
      read.held.reserve(2 * nodes);
      read.macs.reserve(nodes);
      read.lif_neurons.reserve(nodes);
      read.layers.nodes.reserve(nodes);
      read.layers.names.reserve(nodes);
    } else {
      PyErr_Clear();  // the walk below meets what stops it
    }
    each_node([&](NodeView& view, nb::handle name) {
      add_held_arrays(view, read.held);
      read.macs.push_back(mac_node(view, computed_macs(name)));
      add_lif_neurons(view, read.lif_neurons);
      add_layer(view, name, read.layers, core_index, computed_macs(name));
    });
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return;  // the phases read the nodes again, and meet the error where they should
  }
  read_ = std::move(read);
}

const std::vector<acc::HeldArray>& GraphReading::held_arrays() {
  if (read_) return read_->held;
  reread_.held.clear();
  each_node([&](NodeView& view, nb::handle) { add_held_arrays(view, reread_.held); });
  return reread_.held;
}

const std::vector<acc::MacNode>& GraphReading::mac_nodes() {
  if (read_) return read_->macs;
  reread_.macs.clear();
  each_node([&](NodeView& view, nb::handle name) {
    reread_.macs.push_back(mac_node(view, computed_macs(name)));
  });
  return reread_.macs;
}

const std::vector<std::int64_t>& GraphReading::lif_neurons() {
  if (read_) return read_->lif_neurons;
  reread_.lif_neurons.clear();
  each_node([&](NodeView& view, nb::handle) { add_lif_neurons(view, reread_.lif_neurons); });
  return reread_.lif_neurons;
}

Layers GraphReading::layers(nb::handle per_node_latency, nb::handle spike_counts) {
  Layers out;
  if (read_ && !layers_taken_) {
    out = std::move(read_->layers);
    layers_taken_ = true;
  } else {
    nb::dict core_index;
    each_node([&](NodeView& view, nb::handle name) {
      add_layer(view, name, out, core_index, computed_macs(name));
    });
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
