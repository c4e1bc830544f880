#include "host/io/graph_decoder.hpp"

#include <cstring>
#include <initializer_list>
#include <string>
#include <unordered_map>

#include "core/errors.hpp"
#include "core/value/value.hpp"
#include "host/numpy.hpp"
#include "host/value_convert.hpp"

namespace zelka::host::io {
namespace {

using value::List;
using value::Map;
using value::Value;

class Decoder {
 public:
  explicit Decoder(zelka::io::GraphArchive& archive) : archive_(archive) {
    nb::module_ ir = imported("zelka.ir");
    graph_type_ = ir.attr("Graph");
    for (nb::handle kind : ir.attr("NODE_KINDS"))
      kinds_.emplace(utf8(kind.attr("__name__")), nb::borrow(kind));
    nb::module_ dataclasses = imported("dataclasses");
    fields_ = dataclasses.attr("fields");
    missing_ = dataclasses.attr("MISSING");
  }

  nb::object run() {
    nb::object graph = graph_value(archive_.graph(), "");
    archive_.require_every_array_used();
    return graph;
  }

 private:
  [[noreturn]] static void fail(const std::string& where, const std::string& problem) {
    throw ValueError(where + ": " + problem);
  }

  // `v` as an object with exactly the members `keys`.
  static const Map& object_with(const Value& v, std::initializer_list<const char*> keys,
                                const std::string& where) {
    std::string listed;
    for (const char* key : keys) listed += std::string(listed.empty() ? "" : ", ") + key;
    if (!v.is<Map>() || v.as<Map>().entries.size() != keys.size())
      fail(where, "expected an object of " + listed);
    for (const char* key : keys)
      if (!v.as<Map>().find(Value(key))) fail(where, "expected an object of " + listed);
    return v.as<Map>();
  }

  static const Value& member(const Map& m, const char* key) { return *m.find(Value(key)); }

  static const List& list(const Value& v, const std::string& where) {
    if (!v.is<List>()) fail(where, "expected an array");
    return v.as<List>();
  }

  static std::int64_t integer(const Value& v, const std::string& where) {
    if (!v.is<std::int64_t>()) fail(where, "expected an integer");
    return v.as<std::int64_t>();
  }

  static const std::string& string(const Value& v, const std::string& where) {
    if (!v.is<std::string>()) fail(where, "expected a string");
    return v.as<std::string>();
  }

  nb::object graph_value(const Value& v, const std::string& prefix) {
    // A graph whose layers are computed says so in a member of its own.
    const bool says_layers = v.is<Map>() && v.as<Map>().find(Value("layers"));
    const Map& g =
        says_layers
            ? object_with(v, {"nodes", "edges", "cyclic_config", "layers"}, prefix + "the graph")
            : object_with(v, {"nodes", "edges", "cyclic_config"}, prefix + "the graph");
    nb::dict nodes;
    for (const Value& n : list(member(g, "nodes"), prefix + "nodes")) {
      const Map& node = object_with(n, {"name", "kind", "attributes"}, prefix + "a node");
      nb::object name = text(member(node, "name"), prefix + "a node's name");
      const std::string where = prefix + "node " + repr_text(name);
      if (PyDict_Contains(nodes.ptr(), name.ptr())) fail(where, "the name appears twice");
      nodes[name] = node_value(node, where);
    }
    nb::list edges;
    std::size_t number = 0;
    for (const Value& e : list(member(g, "edges"), prefix + "edges"))
      edges.append(value(e, prefix + "edge " + std::to_string(number++)));
    nb::object cyclic_config = value(member(g, "cyclic_config"), prefix + "cyclic_config");
    if (!says_layers) return graph_type_(nodes, edges, cyclic_config);
    const Value& layers = member(g, "layers");
    if (!layers.is<std::string>() ||
        (layers.as<std::string>() != "computed" && layers.as<std::string>() != "pass_through"))
      fail(prefix + "layers", "expected 'pass_through' or 'computed'");
    return graph_type_(nodes, edges, cyclic_config,
                       nb::arg("layers") = nb::str(layers.as<std::string>().c_str()));
  }

  nb::object node_value(const Map& node, const std::string& where) {
    const std::string& kind_name = string(member(node, "kind"), where + " kind");
    const auto kind = kinds_.find(kind_name);
    if (kind == kinds_.end())
      fail(where, "unknown node kind " + repr_text(nb::str(kind_name.c_str())));
    const Value& attributes = member(node, "attributes");
    if (!attributes.is<Map>()) fail(where, "its attributes are not an object");
    nb::dict known;  // field name -> whether the field has no default
    for (nb::handle f : fields_(kind->second)) {
      const bool required =
          f.attr("default").is(missing_) && f.attr("default_factory").is(missing_);
      known[f.attr("name")] = required;
    }
    nb::dict arguments;
    for (const auto& [key, v] : attributes.as<Map>().entries) {
      nb::str field(key.as<std::string>().c_str(), key.as<std::string>().size());
      if (!PyDict_Contains(known.ptr(), field.ptr()))
        fail(where, kind_name + " has no attribute " + repr_text(field));
      arguments[field] = value(v, where + " attribute " + repr_text(field));
    }
    for (auto [field, required] : known)
      if (truth(required) && !PyDict_Contains(arguments.ptr(), field.ptr()))
        fail(where, "its attribute " + repr_text(field) + " is missing");
    return steal_or_raise(PyObject_Call(kind->second.ptr(), nb::tuple().ptr(), arguments.ptr()));
  }

  // A str: JSON text, or {"code_points": [...]}.
  nb::object text(const Value& v, const std::string& where) {
    if (v.is<std::string>()) return utf8_str(v.as<std::string>());
    if (!v.is<Map>() || !v.as<Map>().find(Value("code_points"))) fail(where, "expected a string");
    std::vector<Py_UCS4> points;
    for (const Value& p :
         list(member(object_with(v, {"code_points"}, where), "code_points"), where)) {
      const std::int64_t cp = integer(p, where);
      if (cp < 0 || cp > 0x10ffff)
        fail(where, "code point " + std::to_string(cp) + " out of range");
      points.push_back(static_cast<Py_UCS4>(cp));
    }
    return steal_or_raise(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, points.data(),
                                                    static_cast<Py_ssize_t>(points.size())));
  }

  static nb::object utf8_str(const std::string& s) {
    return steal_or_raise(
        PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
  }

  nb::object value(const Value& v, const std::string& where) {
    if (v.is<value::Null>()) return nb::none();
    if (v.is<bool>()) return nb::bool_(v.as<bool>());
    if (v.is<std::int64_t>()) return nb::int_(v.as<std::int64_t>());
    if (v.is<value::BigInt>()) return big_int(v.as<value::BigInt>().digits, where);
    if (v.is<double>()) return nb::float_(v.as<double>());
    if (v.is<std::string>()) return utf8_str(v.as<std::string>());
    if (v.is<List>()) {
      nb::list out;
      for (const Value& item : v.as<List>()) out.append(value(item, where));
      return out;
    }
    if (!v.is<Map>() || v.as<Map>().entries.empty() ||
        !v.as<Map>().entries.front().first.is<std::string>())
      fail(where, "a value in no known form");
    const std::string& tag = v.as<Map>().entries.front().first.as<std::string>();
    if (tag == "tuple") {
      nb::list items =
          nb::borrow<nb::list>(value(member(object_with(v, {"tuple"}, where), "tuple"), where));
      return steal_or_raise(PyList_AsTuple(items.ptr()));
    }
    if (tag == "dict") return dict(member(object_with(v, {"dict"}, where), "dict"), where);
    if (tag == "complex")
      return complex(member(object_with(v, {"complex"}, where), "complex"), where);
    if (tag == "code_points") return text(v, where);
    if (tag == "array") return array(object_with(v, {"array", "dtype", "shape"}, where), where);
    if (tag == "scalar") return scalar(object_with(v, {"scalar", "dtype"}, where), where);
    if (tag == "graph")
      return graph_value(member(object_with(v, {"graph"}, where), "graph"), where + " > ");
    fail(where, "a value in no known form (tag " + repr_text(utf8_str(tag)) + ")");
  }

  static nb::object big_int(const std::string& digits, const std::string& where) {
    PyObject* n = PyLong_FromString(digits.c_str(), nullptr, 10);
    if (!n) {
      PyErr_Clear();
      fail(where, "an integer of " + std::to_string(digits.size()) +
                      " digits, more than this Python converts " + int_digits_limit_note());
    }
    return nb::steal(n);
  }

  nb::object dict(const Value& pairs, const std::string& where) {
    nb::dict out;
    for (const Value& pair : list(pairs, where)) {
      const List& kv = list(pair, where);
      if (kv.size() != 2) fail(where, "a dict entry is not a [key, value] pair");
      nb::object key = text(kv[0], where);
      if (PyDict_Contains(out.ptr(), key.ptr()))
        fail(where, "dict key " + repr_text(key) + " appears twice");
      out[key] = value(kv[1], where);
    }
    return out;
  }

  static nb::object complex(const Value& parts, const std::string& where) {
    const List& p = list(parts, where);
    if (p.size() != 2 || !p[0].is<double>() || !p[1].is<double>())
      fail(where, "a complex number is not a [real, imaginary] pair of floats");
    return steal_or_raise(PyComplex_FromDoubles(p[0].as<double>(), p[1].as<double>()));
  }

  // Array `index` as a new numpy array, once its entry agrees with `descr` and `shape`.
  nb::object stored_array(std::int64_t index, const std::string& descr,
                          const std::vector<std::int64_t>& shape, const std::string& where) {
    const zelka::io::NpyArray* stored;
    try {
      stored = &archive_.array(index, descr, shape);
    } catch (const ValueError& e) {
      fail(where, e.what());
    }
    if (auto known = arrays_.find(index); known != arrays_.end()) return known->second;
    const Numpy& np = Numpy::get();
    nb::object a = np.empty(shape_tuple(shape), np.module.attr("dtype")(descr));
    ArrayData out(a, true);
    if (!stored->data.empty()) std::memcpy(out.data(), stored->data.data(), stored->data.size());
    arrays_.emplace(index, a);
    return a;
  }

  nb::object array(const Map& m, const std::string& where) {
    std::vector<std::int64_t> shape;
    for (const Value& d : list(member(m, "shape"), where)) shape.push_back(integer(d, where));
    return stored_array(integer(member(m, "array"), where), string(member(m, "dtype"), where),
                        shape, where);
  }

  nb::object scalar(const Map& m, const std::string& where) {
    nb::object zero_d = stored_array(integer(member(m, "scalar"), where),
                                     string(member(m, "dtype"), where), {}, where);
    return getitem(zero_d, nb::tuple());
  }

  zelka::io::GraphArchive& archive_;
  nb::object graph_type_, fields_, missing_;
  std::unordered_map<std::string, nb::object> kinds_;
  std::unordered_map<std::int64_t, nb::object> arrays_;
};

}  // namespace

nb::object decode_graph(zelka::io::GraphArchive& archive) {
  return Decoder(archive).run();
}

}  // namespace zelka::host::io
