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
  return is_instance(value, Numpy::get().ndarray);
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
  if (!nb::hasattr(node, "__dataclass_fields__")) return std::nullopt;
  std::vector<nb::object> names;
  nb::object fields = node.attr("__dataclass_fields__");
  for (nb::handle name : steal_or_raise(PySequence_List(fields.ptr())))
    names.push_back(nb::borrow(name));
  return names;
}

bool is_io(nb::handle node, const IrKinds& kinds) {
  return kinds.is(node, Kind::input) || kinds.is(node, Kind::output);
}

// The core id of a node: its core_id when present and truthy, as an int (a float is
// truncated); TypeError "Expected int, got {type name}" for a value that is not a number.
nb::object core_id_of(nb::handle node) {
  nb::object id = attribute_or_none(node, nb::str("core_id"));
  if (!truth(id)) return nb::int_(0);
  PyObject* o = id.ptr();
  const bool number = !PyUnicode_Check(o) && !PyBytes_Check(o) && !PyByteArray_Check(o) &&
                      !PyComplex_Check(o) && (PyIndex_Check(o) || PyNumber_Check(o));
  if (!number) raise_formatted(PyExc_TypeError, "Expected int, got {}", id.type().attr("__name__"));
  return steal_or_raise(PyNumber_Long(o));
}

}  // namespace

IrKinds load_profile_kinds() {
  return IrKinds::load(
      {Kind::input, Kind::output, Kind::affine, Kind::lif, Kind::conv1d, Kind::conv2d});
}

std::vector<acc::HeldArray> held_arrays(nb::handle graph, const IrKinds& kinds) {
  std::vector<acc::HeldArray> arrays;
  const auto look_at = [&](nb::handle node, nb::handle name) {
    nb::object value = attribute_or_none(node, name);
    if (is_array(value))
      arrays.push_back(
          {utf8_surrogates_passed(steal_or_raise(PyObject_Str(name.ptr()))), nbytes(value)});
  };
  for (nb::handle node : graph.attr("nodes").attr("values")()) {
    if (is_io(node, kinds)) continue;
    if (auto fields = declared_fields(node)) {
      for (const nb::object& name : *fields) look_at(node, name);
      continue;
    }
    for (std::string_view name : acc::weight_attributes)
      look_at(node, nb::str(name.data(), name.size()));
    for (std::string_view name : acc::state_attributes)
      look_at(node, nb::str(name.data(), name.size()));
  }
  return arrays;
}

std::vector<acc::MacNode> mac_nodes(nb::handle graph, const IrKinds& kinds) {
  std::vector<acc::MacNode> nodes;
  for (nb::handle node : graph.attr("nodes").attr("values")()) {
    acc::MacNode mac;
    if (kinds.is(node, Kind::affine)) {
      mac.rule = acc::MacNode::Rule::affine;
      mac.weight_dims = affine_dims(node);
    } else if (kinds.is(node, Kind::conv1d) || kinds.is(node, Kind::conv2d)) {
      mac.rule = acc::MacNode::Rule::convolution;
      mac.weight_dims = dims(node.attr("weight").attr("shape"));
    } else if (auto fields = declared_fields(node)) {
      mac.rule = acc::MacNode::Rule::declared_fields;
      for (const nb::object& name : *fields) {
        acc::DeclaredField field{utf8_surrogates_passed(steal_or_raise(PyObject_Str(name.ptr()))),
                                 std::nullopt};
        const bool weight = field.name.find("weight") != std::string::npos;
        const bool cheap = field.name.find("cheap") != std::string::npos;
        if (weight && (!cheap || field.name.find("cheap_weight") != std::string::npos)) {
          nb::object value = attribute_or_none(node, name);
          if (is_array(value)) field.shape = dims(value.attr("shape"));
        }
        mac.fields.push_back(std::move(field));
      }
    }
    nodes.push_back(std::move(mac));
  }
  return nodes;
}

std::vector<std::int64_t> lif_neurons(nb::handle graph, const IrKinds& kinds) {
  std::vector<std::int64_t> neurons;
  for (nb::handle node : graph.attr("nodes").attr("values")())
    if (kinds.is(node, Kind::lif))
      neurons.push_back(as_int64(getitem(node.attr("v_threshold").attr("shape"), nb::int_(0))));
  return neurons;
}

Layers layers(nb::handle graph, const IrKinds& kinds, nb::handle per_node_latency,
              nb::handle spike_counts) {
  Layers out;
  nb::dict core_index;
  for (nb::handle item : graph.attr("nodes").attr("items")()) {
    nb::object name = item[0], node = item[1];
    if (is_io(node, kinds)) continue;
    acc::LayerNode layer;
    nb::object core = core_id_of(node);
    if (!core_index.contains(core)) {
      core_index[core] = out.core_ids.size();
      out.core_ids.push_back(core);
    }
    layer.core = nb::cast<int>(core_index[core]);
    if (PyObject* latency = PyDict_GetItemWithError(per_node_latency.ptr(), name.ptr()))
      layer.latency_us = PyFloat_AsDouble(latency);
    else if (PyErr_Occurred())
      throw nb::python_error();
    if (kinds.is(node, Kind::affine) || kinds.is(node, Kind::conv1d) ||
        kinds.is(node, Kind::conv2d)) {
      const bool affine = kinds.is(node, Kind::affine);
      layer.kind = affine ? acc::LayerNode::Kind::affine : acc::LayerNode::Kind::convolution;
      nb::object weight = node.attr("weight");
      layer.weight_dims = affine ? affine_dims(node) : dims(weight.attr("shape"));
      nb::object bias = attribute_or_none(node, nb::str("bias"));
      layer.weight_bytes = nbytes(weight) + (bias.is_none() ? 0 : nbytes(bias));
    } else if (kinds.is(node, Kind::lif)) {
      layer.kind = acc::LayerNode::Kind::lif;
      layer.neurons = as_int64(getitem(node.attr("v_threshold").attr("shape"), nb::int_(0)));
    }
    if (PyObject* spikes = PyDict_GetItemWithError(spike_counts.ptr(), name.ptr()))
      layer.spikes = to_count(spikes);
    else if (PyErr_Occurred())
      throw nb::python_error();
    out.nodes.push_back(std::move(layer));
    out.names.push_back(name);
  }
  return out;
}

}  // namespace zelka::host::profiler
