#include "host/fpga/input_shape.hpp"

#include "host/value_convert.hpp"

namespace zelka::host::fpga {
namespace {

bool is_list_or_tuple(nb::handle shape) {
  return PyList_Check(shape.ptr()) || PyTuple_Check(shape.ptr());
}

// The elements as int() gives them: all of them when `skip_none` is false, else the ones
// that are not None.  Read from a snapshot, so that conversions cannot change the list.
std::vector<nb::object> integers(nb::handle elements, bool skip_none) {
  nb::object snapshot = steal_or_raise(PySequence_Tuple(elements.ptr()));
  std::vector<nb::object> out;
  for (nb::handle element : snapshot) {
    if (skip_none && element.is_none()) continue;
    out.push_back(steal_or_raise(PyNumber_Long(element.ptr())));
  }
  return out;
}

bool starts_with_none(nb::handle shape) {
  return PySequence_Size(shape.ptr()) > 0 && getitem(shape, nb::int_(0)).is_none();
}

}  // namespace

value::Tuple shape_without_batch(nb::handle shape) {
  value::Tuple out;
  if (!is_list_or_tuple(shape)) return out;
  std::vector<nb::object> dims =
      starts_with_none(shape)
          ? integers(steal_or_raise(PySequence_GetSlice(shape.ptr(), 1, PY_SSIZE_T_MAX)), false)
          : integers(shape, true);
  for (const nb::object& d : dims) out.items.push_back(int_value(d));
  return out;
}

std::string shape_with_batch_text(nb::handle shape) {
  if (!is_list_or_tuple(shape)) return str_text(shape);
  std::string text = "None";
  for (const nb::object& d : integers(shape, starts_with_none(shape))) text += ", " + str_text(d);
  return text;
}

}  // namespace zelka::host::fpga
