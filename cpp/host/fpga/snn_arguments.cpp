#include "host/fpga/snn_arguments.hpp"

namespace zelka::host::fpga {

zelka::fpga::FixedType type_argument(nb::handle text, const char* argument) {
  if (auto type = numeric::parse_fixed_type(utf8(text))) return *type;
  raise_formatted(PyExc_ValueError, "Argument '{}' must be a fixed-point type name ({}), got {!r}",
                  argument, numeric::fixed_type_forms, text);
}

zelka::fpga::FixedType membrane_argument(nb::handle membrane_precision,
                                         const zelka::fpga::FixedType& precision) {
  if (membrane_precision.is_none()) return zelka::fpga::default_membrane_type(precision);
  return type_argument(membrane_precision, "membrane_precision");
}

void require_output_dir(nb::handle output_dir) {
  if (!truth(output_dir))
    throw nb::value_error(
        "Argument 'output_dir' must name a folder to write the project to, got ''");
}

std::int64_t positive_argument(nb::handle value, const char* argument) {
  const long long n = PyLong_AsLongLong(value.ptr());
  if (n == -1 && PyErr_Occurred()) throw nb::python_error();
  if (n < 1)
    raise_formatted(PyExc_ValueError, "Argument '{}' must be at least 1, got {!r}", argument,
                    value);
  return n;
}

}  // namespace zelka::host::fpga
