#include "host/args.hpp"

#include <string>

namespace zelka::host {
namespace {

// A Python int as a 64-bit integer; OverflowError naming the argument beyond that range.
std::int64_t checked_int64(nb::handle number, const char* name) {
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (result == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow != 0)
    raise_formatted(PyExc_OverflowError,
                    "Argument '{}' must lie between -2**63 and 2**63 - 1, got {!r}", name, number);
  return result;
}

}  // namespace

void raise_argument_type(const char* name, const char* expected, nb::handle got) {
  const std::string message = std::string("Argument '") + name + "' has incorrect type (expected " +
                              expected + ", got " + type_name_of(got) + ")";
  throw nb::type_error(message.c_str());
}

bool is_number(nb::handle value) {
  if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
      PyByteArray_Check(value.ptr()) || PyComplex_Check(value.ptr()))
    return false;
  return PyIndex_Check(value.ptr()) || PyNumber_Check(value.ptr());
}

nb::object int_argument(nb::handle value, const char* name) {
  if (!is_number(value)) raise_argument_type(name, "int", value);
  if (PyIndex_Check(value.ptr())) return steal_or_raise(PyNumber_Index(value.ptr()));
  return steal_or_raise(PyNumber_Long(value.ptr()));
}

std::int64_t int64_argument(nb::handle value, const char* name) {
  return checked_int64(int_argument(value, name), name);
}

nb::object count_argument(nb::handle value, const char* name) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr()))
    raise_argument_type(name, "int", value);
  return steal_or_raise(PyNumber_Index(value.ptr()));
}

std::int64_t count64_argument(nb::handle value, const char* name) {
  return checked_int64(count_argument(value, name), name);
}

double float_argument(nb::handle value, const char* name) {
  if (!is_number(value)) raise_argument_type(name, "float", value);
  double result = PyFloat_AsDouble(value.ptr());
  if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return result;
}

void require_str(nb::handle value, const char* name) {
  if (!PyUnicode_Check(value.ptr())) raise_argument_type(name, "str", value);
}

void require_dict_or_none(nb::handle value, const char* name) {
  if (!value.is_none() && !PyDict_Check(value.ptr())) raise_argument_type(name, "dict", value);
}

}  // namespace zelka::host
