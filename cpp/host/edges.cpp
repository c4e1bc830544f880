#include "host/edges.hpp"

#include <vector>

namespace zelka::host {

std::optional<EdgeEnds> edge_ends(nb::handle edge) {
  if ((PyTuple_CheckExact(edge.ptr()) || PyList_CheckExact(edge.ptr()))) {
    if (PySequence_Fast_GET_SIZE(edge.ptr()) != 2) return std::nullopt;
    return EdgeEnds{nb::borrow(PySequence_Fast_GET_ITEM(edge.ptr(), 0)),
                    nb::borrow(PySequence_Fast_GET_ITEM(edge.ptr(), 1))};
  }
  PyObject* iterator = PyObject_GetIter(edge.ptr());
  if (!iterator) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
    PyErr_Clear();
    return std::nullopt;
  }
  nb::object it = nb::steal(iterator);
  std::vector<nb::object> items;
  while (items.size() <= 2) {  // a third item is enough to know it is no pair
    PyObject* item = PyIter_Next(it.ptr());
    if (!item) {
      if (PyErr_Occurred()) throw nb::python_error();
      break;
    }
    items.push_back(nb::steal(item));
  }
  if (items.size() != 2) return std::nullopt;
  return EdgeEnds{items[0], items[1]};
}

namespace {
constexpr const char* not_a_pair = "Edge {!r} must be a (src, dst) pair";
}

nb::str not_a_pair_message(nb::handle edge) {
  return nb::str(not_a_pair).format(edge);
}

EdgeEnds required_edge_ends(nb::handle edge) {
  std::optional<EdgeEnds> ends = edge_ends(edge);
  if (!ends) raise_formatted(PyExc_ValueError, not_a_pair, edge);
  return *std::move(ends);
}

}  // namespace zelka::host
