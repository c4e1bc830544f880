#include "host/cpu/batch_stimuli.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "host/numpy.hpp"

using namespace nanobind::literals;

namespace zelka::host::cpu {
namespace {

// The shape an Input declares (its input_type's first value, or an array of dimensions),
// or None.
nb::object declared_shape(nb::handle node) {
  nb::object input_type = nb::getattr(node, "input_type", nb::none());
  PyObject *key, *value;
  Py_ssize_t at = 0;
  if (PyDict_CheckExact(input_type.ptr()) && PyDict_Next(input_type.ptr(), &at, &key, &value))
    return nb::borrow(value);
  if (PyDict_Check(input_type.ptr()) && PyDict_Size(input_type.ptr()) > 0)
    return nb::borrow(*nb::iter(input_type.attr("values")()));
  if (is_instance(input_type, Numpy::get().ndarray)) return input_type;
  return nb::none();
}

// A declared shape that is a tuple of non-negative ints, as those dimensions (numpy takes it
// as it is); nothing for any other value, whose dimensions numpy works out.
std::optional<std::vector<std::int64_t>> plain_dims(nb::handle declared) {
  if (!PyTuple_CheckExact(declared.ptr())) return std::nullopt;
  std::vector<std::int64_t> dims;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(declared.ptr()); ++i) {
    PyObject* d = PyTuple_GET_ITEM(declared.ptr(), i);
    if (!PyLong_CheckExact(d)) return std::nullopt;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(d, &overflow);
    if (overflow != 0 || v < 0) return std::nullopt;
    dims.push_back(v);
  }
  return dims;
}

// The names of the graph's Input nodes, as a list, for messages.
nb::list input_names(nb::handle nodes, const IrKinds& kinds) {
  nb::list names;
  for (nb::handle item : nodes.attr("items")())
    if (kinds.is(item[1], Kind::input)) names.append(item[0]);
  return names;
}

}  // namespace

Stimuli read_stimuli(nb::handle graph, const IrKinds& kinds, nb::handle input_data, bool per_step,
                     std::int64_t steps) {
  const Numpy& np = Numpy::get();
  Stimuli s;
  nb::object nodes = graph.attr("nodes");
  const std::size_t batch_axis = per_step ? 1 : 0;
  nb::object first_key;
  for (auto [key, value] : nb::borrow<nb::dict>(steal_or_raise(PyDict_Copy(input_data.ptr())))) {
    nb::object array = is_instance(value, np.ndarray) ? nb::borrow(value) : np.asarray(value);
    // Stimuli per step are read where they are, every step: an array not in C order or not
    // aligned is copied once here.
    if (per_step) array = np.require(array, "requirements"_a = "CA");
    const std::vector<std::int64_t> shape = shape_of(array);
    if (shape.size() <= batch_axis)
      raise_formatted(PyExc_ValueError,
                      "Input {!r}: a batch needs an array of shape {}, got shape {}", key,
                      per_step ? "(n_steps, batch, *input_shape)" : "(batch, *input_shape)",
                      array.attr("shape"));
    const std::int64_t batch = shape[batch_axis];
    if (!first_key.is_valid()) {
      first_key = nb::borrow(key);
      s.batch = batch;
    } else if (batch != s.batch) {
      raise_formatted(PyExc_ValueError,
                      "Input {!r}: batch size {} (shape {}) differs from the batch size {} of "
                      "Input {!r} (shape {})",
                      key, batch, array.attr("shape"), s.batch, first_key,
                      s.arrays.front().attr("shape"));
    }
    if (per_step && shape[0] < steps)
      raise_formatted(PyExc_ValueError,
                      "Input {!r}: {} steps need a time axis of at least {}, got shape {}", key,
                      steps, steps, array.attr("shape"));
    PyObject* node = PyDict_GetItemWithError(nodes.ptr(), key.ptr());
    if (!node && PyErr_Occurred()) throw nb::python_error();
    if (!node || !kinds.is(node, Kind::input))
      raise_formatted(PyExc_ValueError,
                      "input_data: {!r} names no Input node of the graph (its Inputs: {})", key,
                      input_names(nodes, kinds));
    {
      nb::object declared = declared_shape(node);
      const std::optional<std::vector<std::int64_t>> dims =
          declared.is_none() ? std::nullopt : plain_dims(declared);
      const bool plain_match = dims && std::equal(shape.begin() + batch_axis + 1, shape.end(),
                                                  dims->begin(), dims->end());
      if (!declared.is_none() && !plain_match) {
        nb::object sample_shape = getitem(
            array.attr("shape"), nb::slice(nb::int_(batch_axis + 1), nb::none(), nb::none()));
        nb::object wanted =
            nb::tuple(np.module.attr("zeros")(declared, "dtype"_a = np.float32).attr("shape"));
        if (!equal(sample_shape, wanted))
          raise_formatted(PyExc_ValueError,
                          "Input {!r}: samples of shape {} (array of shape {}) do not match the "
                          "declared shape {}",
                          key, sample_shape, array.attr("shape"), wanted);
      }
    }
    s.keys.push_back(nb::borrow(key));
    s.arrays.push_back(array);
  }
  if (!first_key.is_valid())
    throw nb::value_error(
        "input_data must hold at least one stimulus: its first axis sets the batch size");
  return s;
}

}  // namespace zelka::host::cpu
