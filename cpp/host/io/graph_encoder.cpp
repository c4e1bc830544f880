#include "host/io/graph_encoder.hpp"

#include <string>
#include <unordered_map>

#include "core/errors.hpp"
#include "core/io/npy.hpp"
#include "host/simulation/computed_graph.hpp"
#include "host/value_convert.hpp"

namespace zelka::host::io {
namespace {

using value::List;
using value::Map;
using value::Value;

class Encoder {
 public:
  Encoder()
      : ir_(imported("zelka.ir")),
        graph_type_(ir_.attr("Graph")),
        kinds_(ir_.attr("NODE_KINDS")),
        fields_(imported("dataclasses").attr("fields")),
        generic_(Numpy::get().module.attr("generic")) {}

  EncodedGraph run(nb::handle graph) {
    if (!is_instance(graph, graph_type_))
      raise_formatted(PyExc_TypeError, "graph must be a zelka.ir.Graph, got {}",
                      type_name_of(graph));
    out_.graph = graph_value(graph, 1, "");
    return std::move(out_);
  }

 private:
  [[noreturn]] static void fail(const std::string& where, const std::string& problem) {
    throw ValueError("cannot save " + where + ": " + problem);
  }

  // The depth of a container made inside `depth` enclosing ones; ValueError past the limit.
  static std::size_t open(std::size_t depth, const std::string& where) {
    if (depth + 1 > zelka::io::max_manifest_depth)
      fail(where, "it nests deeper than a graph file allows (" +
                      std::to_string(zelka::io::max_manifest_depth) + " levels in the manifest)");
    return depth + 1;
  }

  // A graph made inside `depth` containers; `prefix` places its nodes for messages.
  Value graph_value(nb::handle graph, std::size_t depth, const std::string& prefix) {
    const std::size_t object = open(depth, prefix + "the graph");
    nb::object nodes = graph.attr("nodes");
    if (!PyDict_Check(nodes.ptr())) fail(prefix + "the graph", "its nodes are not a dict");
    List node_list;
    const std::size_t list = open(object, prefix + "the graph");
    for (nb::handle pair : steal_or_raise(PyDict_Items(nodes.ptr())))
      node_list.push_back(node_value(PyTuple_GET_ITEM(pair.ptr(), 0),
                                     PyTuple_GET_ITEM(pair.ptr(), 1), list, prefix));
    List edges;
    std::size_t number = 0;
    for (nb::handle edge : nb::list(graph.attr("edges")))
      edges.push_back(value(edge, list, prefix + "edge " + std::to_string(number++)));
    Map m;
    m.set("nodes", std::move(node_list));
    m.set("edges", std::move(edges));
    m.set("cyclic_config", value(graph.attr("cyclic_config"), object, prefix + "cyclic_config"));
    // Only a computed graph gains the member: a pass-through graph is written as it always was.
    if (simulation::computes_layers(graph)) m.set("layers", std::string("computed"));
    return m;
  }

  Value node_value(nb::handle name, nb::handle node, std::size_t depth, const std::string& prefix) {
    if (!PyUnicode_CheckExact(name.ptr()))
      fail(prefix + "node " + repr_text(name), "node names must be str, not " + type_name_of(name));
    const std::string where = prefix + "node " + repr_text(name);
    const int known_kind =
        PySequence_Contains(kinds_.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(node.ptr())));
    if (known_kind < 0) throw nb::python_error();
    if (known_kind == 0) fail(where, "a " + type_name_of(node) + " is not a zelka.ir node kind");
    const std::size_t object = open(depth, where);
    const std::size_t attributes = open(object, where);
    Map values;
    for (nb::handle f : fields_(node)) {
      nb::object field_name = f.attr("name");
      nb::object field_value = nb::getattr(node, field_name);
      if (omitted_at_default(f, field_value)) continue;
      values.set(utf8(field_name),
                 value(field_value, attributes, where + " attribute " + repr_text(field_name)));
    }
    Map m;
    m.set("name", text(name, object, where));
    m.set("kind", type_name_of(node));
    m.set("attributes", std::move(values));
    return m;
  }

  // A field added to its kind after files first stored the kind, holding its default: the
  // file leaves it out, so that it reads as a file written before the field existed.
  static bool omitted_at_default(nb::handle field, nb::handle value) {
    if (!truth(field.attr("metadata").attr("get")("omitted_at_default", false))) return false;
    nb::object initial = field.attr("default");
    return value.type().is(initial.type()) && equal(value, initial);
  }

  // A str: JSON text, or {"code_points": [...]} for one holding lone surrogates, which
  // UTF-8 cannot carry.
  Value text(nb::handle s, std::size_t depth, const std::string& where) {
    Py_ssize_t size = 0;
    if (const char* bytes = PyUnicode_AsUTF8AndSize(s.ptr(), &size))
      return std::string(bytes, static_cast<std::size_t>(size));
    PyErr_Clear();
    List points;
    open(open(depth, where), where);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s.ptr());
    for (Py_ssize_t i = 0; i < length; ++i)
      points.emplace_back(static_cast<std::int64_t>(PyUnicode_READ_CHAR(s.ptr(), i)));
    Map m;
    m.set("code_points", std::move(points));
    return m;
  }

  static Value tagged(const char* tag, Value v) {
    Map m;
    m.set(tag, std::move(v));
    return m;
  }

  Value value(nb::handle obj, std::size_t depth, const std::string& where) {
    PyObject* o = obj.ptr();
    if (obj.is_none()) return value::Null{};
    if (PyBool_Check(o)) return o == Py_True;
    if (PyLong_CheckExact(o)) return integer(obj, where);
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    if (PyUnicode_CheckExact(o)) return text(obj, depth, where);
    if (PyComplex_CheckExact(o)) {
      open(open(depth, where), where);
      return tagged("complex", List{PyComplex_RealAsDouble(o), PyComplex_ImagAsDouble(o)});
    }
    if (PyList_CheckExact(o)) return items(obj, open(depth, where), where);
    if (PyTuple_CheckExact(o))
      return tagged("tuple", items(obj, open(open(depth, where), where), where));
    if (PyDict_CheckExact(o)) return dict(obj, depth, where);
    if (is_exact_ndarray(obj)) return array(obj, depth, where);
    if (is_instance(obj, generic_)) return scalar(obj, depth, where);
    if (is_instance(obj, graph_type_))
      return tagged("graph", graph_value(obj, open(depth, where), where + " > "));
    fail(where, "a " + type_name_of(obj) +
                    " has no file form (values may be None, bool, int, float, complex, str, "
                    "list, tuple, dict with str keys, numpy arrays and scalars of numeric or "
                    "bool dtypes, and graphs)");
  }

  // An int by its digits, when this Python writes them.
  static Value integer(nb::handle n, const std::string& where) {
    try {
      return int_value(n);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_ValueError)) throw;
      fail(where, "an integer of more digits than this Python writes " + int_digits_limit_note());
    }
  }

  // The items of a list or tuple, made inside `depth` containers (their own included).
  Value items(nb::handle sequence, std::size_t depth, const std::string& where) {
    List out;
    for (nb::handle item : steal_or_raise(PySequence_Tuple(sequence.ptr())))
      out.push_back(value(item, depth, where));
    return out;
  }

  Value dict(nb::handle d, std::size_t depth, const std::string& where) {
    const std::size_t pair_depth = open(open(open(depth, where), where), where);
    List pairs;
    for (nb::handle pair : steal_or_raise(PyDict_Items(d.ptr()))) {
      nb::handle key = PyTuple_GET_ITEM(pair.ptr(), 0);
      if (!PyUnicode_CheckExact(key.ptr()))
        fail(where,
             "dict keys must be str, not " + type_name_of(key) + " (" + repr_text(key) + ")");
      pairs.push_back(List{text(key, pair_depth, where),
                           value(PyTuple_GET_ITEM(pair.ptr(), 1), pair_depth, where)});
    }
    return tagged("dict", std::move(pairs));
  }

  // The dtype of an array or numpy scalar as the file names it.
  static std::string descr(nb::handle obj, const std::string& where) {
    nb::object dtype = obj.attr("dtype");
    std::string text = utf8(dtype.attr("str"));
    if (zelka::io::npy_item_size(text) == 0)
      fail(where, "dtype " + str_text(dtype) + " cannot be saved (numeric and bool dtypes of " +
                      "8 to 128 bits only, no object, text, record or long double ones)");
    return text;
  }

  std::int64_t store(nb::handle contiguous, std::string descr, std::vector<std::int64_t> shape) {
    out_.views.push_back(std::make_unique<ArrayData>(contiguous));
    const ArrayData& view = *out_.views.back();
    out_.arrays.push_back(
        {std::move(descr),
         std::move(shape),
         {static_cast<const char*>(view.data()), static_cast<std::size_t>(view.bytes())}});
    return static_cast<std::int64_t>(out_.arrays.size() - 1);
  }

  Value array(nb::handle a, std::size_t depth, const std::string& where) {
    const std::string type = descr(a, where);
    std::vector<std::int64_t> shape = shape_of(a);
    open(open(depth, where), where);
    std::int64_t index;
    if (auto known = stored_.find(a.ptr()); known != stored_.end()) {
      index = known->second;
    } else {
      nb::object contiguous = truth(a.attr("flags").attr("c_contiguous"))
                                  ? nb::borrow(a)
                                  : a.attr("copy")(nb::arg("order") = "C");
      index = store(contiguous, type, shape);
      stored_.emplace(a.ptr(), index);
      held_.push_back(nb::borrow(a));  // keeps the identity of a.ptr() until the end
    }
    List dims;
    for (std::int64_t d : shape) dims.emplace_back(d);
    Map m;
    m.set("array", index);
    m.set("dtype", type);
    m.set("shape", std::move(dims));
    return m;
  }

  Value scalar(nb::handle s, std::size_t depth, const std::string& where) {
    const std::string type = descr(s, where);
    open(depth, where);
    Map m;
    m.set("scalar", store(Numpy::get().asarray(s), type, {}));
    m.set("dtype", type);
    return m;
  }

  nb::module_ ir_;
  nb::object graph_type_, kinds_, fields_, generic_;
  EncodedGraph out_;
  std::unordered_map<PyObject*, std::int64_t> stored_;
  std::vector<nb::object> held_;
};

}  // namespace

EncodedGraph encode_graph(nb::handle graph) {
  return Encoder().run(graph);
}

}  // namespace zelka::host::io
