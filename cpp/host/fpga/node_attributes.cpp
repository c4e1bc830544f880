#include "host/fpga/node_attributes.hpp"

#include "core/errors.hpp"
#include "core/rules/lif_rule.hpp"
#include "host/lif_settings.hpp"

namespace zelka::host::fpga {
namespace {

std::vector<nb::object> unpack_counted(nb::handle obj, std::size_t n) {
  return unpack(obj, n, UnpackWording::counted);
}

// The two items of a pair attribute, or the value twice when it is a single number.
std::pair<nb::object, nb::object> pair_or_scalar(nb::handle value) {
  if (PyTuple_Check(value.ptr()) || PyList_Check(value.ptr())) {
    auto items = unpack_counted(value, 2);
    return {items[0], items[1]};
  }
  return {nb::borrow(value), nb::borrow(value)};
}

// int(number) > 0, exactly for integers of any size.
bool is_positive(nb::handle number) {
  nb::object as_int = steal_or_raise(PyNumber_Long(number.ptr()));
  return truth(compare(as_int, nb::int_(0), Py_GT));
}

// The array of an LIF node's attribute, checked to offer the array properties read from
// it: a missing property means the attribute is not an array at all.
class LifArray {
 public:
  LifArray(nb::handle node, nb::handle name, const char* attribute)
      : node_(node), name_(name), attribute_(attribute), array_(node.attr(attribute)) {}

  nb::object property(const char* property) const {
    PyObject* result = PyObject_GetAttrString(array_.ptr(), property);
    if (result) return nb::steal(result);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    const std::string message = node_label(node_, name_) + ": " + attribute_ +
                                " must be a numpy array (got " + type_name_of(array_) + ")";
    throw nb::attribute_error(message.c_str());
  }

  // The first element in flat order as a float, or 1.0 for an empty array.
  double first_or_one() const {
    if (!is_positive(property("size"))) return 1.0;
    nb::object first = getitem(property("flat"), nb::int_(0));
    nb::object f = steal_or_raise(PyNumber_Float(first.ptr()));
    return PyFloat_AsDouble(f.ptr());
  }

 private:
  nb::handle node_, name_;
  const char* attribute_;
  nb::object array_;
};

}  // namespace

std::string node_label(nb::handle node, nb::handle name) {
  return type_name_of(node) + " node " + repr_text(name);
}

DenseShape dense_shape(nb::handle node) {
  nb::object weight = node.attr("weight");
  auto shape = unpack_counted(weight.attr("shape"), 2);
  return {weight, shape[0], shape[1]};
}

Conv2dGeometry conv2d_geometry(nb::handle node) {
  auto w = unpack_counted(node.attr("weight").attr("shape"), 4);
  auto [sh, sw] = pair_or_scalar(node.attr("stride"));
  auto [ph, pw] = pair_or_scalar(node.attr("padding"));
  return {w[0], w[1], w[2], w[3], sh, sw, ph, pw};
}

Conv1dGeometry conv1d_geometry(nb::handle node) {
  auto w = unpack_counted(node.attr("weight").attr("shape"), 3);
  return {w[0], w[1], w[2], node.attr("stride"), node.attr("padding")};
}

PoolingGeometry pooling_geometry(nb::handle node) {
  nb::object kernel = node.attr("kernel_size");
  auto k = unpack_counted(kernel, 2);
  nb::object stride = node.attr("stride");
  auto s = unpack_counted(truth(stride) ? stride : kernel, 2);
  auto p = unpack_counted(node.attr("padding"), 2);
  return {k[0], k[1], s[0], s[1], p[0], p[1]};
}

LifSummary lif_summary(nb::handle node, nb::handle name, bool default_rule_only) {
  if (default_rule_only) require_built_lif_rule(node, name);
  const LifArray tau(node, name, "tau");
  const LifArray threshold(node, name, "v_threshold");
  LifSummary s;
  s.neurons =
      is_positive(tau.property("ndim")) ? getitem(tau.property("shape"), nb::int_(0)) : nb::int_(1);
  const double tau_value = tau.first_or_one();
  s.threshold = threshold.first_or_one();
  if (tau_value == 0.0) throw ZeroDivisionError("float division");
  s.decay = rules::lif_decay(1.0, tau_value);
  return s;
}

nb::object int_attribute(nb::handle node, const char* attribute) {
  return steal_or_raise(PyNumber_Long(node.attr(attribute).ptr()));
}

}  // namespace zelka::host::fpga
