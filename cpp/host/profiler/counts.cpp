#include "host/profiler/counts.hpp"

#include <climits>

#include "core/errors.hpp"

namespace zelka::host::profiler {

Count to_count(nb::handle integer) {
  nb::object n = steal_or_raise(PyNumber_Index(integer.ptr()));
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
  if (small == -1 && PyErr_Occurred()) throw nb::python_error();
  if (!overflow) return small;
  nb::object shift = nb::int_(64);
  nb::object high = steal_or_raise(PyNumber_Rshift(n.ptr(), shift.ptr()));
  nb::object low = steal_or_raise(PyNumber_And(
      n.ptr(), nb::object(steal_or_raise(PyLong_FromUnsignedLongLong(ULLONG_MAX))).ptr()));
  const long long high_part = PyLong_AsLongLongAndOverflow(high.ptr(), &overflow);
  if (overflow) throw OverflowError("profile counts exceed 127 bits");
  const unsigned long long low_part = PyLong_AsUnsignedLongLong(low.ptr());
  return (static_cast<Count>(high_part) << 64) | static_cast<Count>(low_part);
}

nb::object from_count(Count n) {
  if (n >= LLONG_MIN && n <= LLONG_MAX)
    return steal_or_raise(PyLong_FromLongLong(static_cast<long long>(n)));
  nb::object high = steal_or_raise(PyLong_FromLongLong(static_cast<long long>(n >> 64)));
  nb::object low = steal_or_raise(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(n)));
  nb::object shifted = steal_or_raise(PyNumber_Lshift(high.ptr(), nb::int_(64).ptr()));
  return steal_or_raise(PyNumber_Or(shifted.ptr(), low.ptr()));
}

}  // namespace zelka::host::profiler
