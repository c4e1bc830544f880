#include "host/simulation/plan_values.hpp"

#include <string>

using namespace nanobind::literals;

namespace zelka::host::simulation {
namespace {

// Integers become float64 in numpy's arithmetic too (rounded alike); floats wider than
// float64 (long double) would be rounded where numpy computes in their precision.
bool holds_exactly_as_float64(nb::handle dtype) {
  const std::string kind = utf8(dtype.attr("kind"));
  if (kind == "i" || kind == "u") return true;
  return kind == "f" && nb::cast<std::int64_t>(dtype.attr("itemsize")) <= 8;
}

}  // namespace

engine::DType required_dtype(nb::handle dtype) {
  engine::DType d;
  require(engine_dtype(dtype, d));
  return d;
}

bool result_is(nb::handle a, nb::handle b, engine::DType expected) {
  engine::DType d;
  return engine_dtype(Numpy::get().result_type(a, b), d) && d == expected;
}

std::vector<double> neuron_values(nb::handle value, std::int64_t neurons) {
  const Numpy& np = Numpy::get();
  const auto count = static_cast<std::size_t>(neurons);
  if (PyFloat_Check(value.ptr())) return std::vector<double>(count, PyFloat_AsDouble(value.ptr()));
  if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    // Integers up to 2**53 in magnitude are exact as float64.
    require(!overflow && v >= -(1LL << 53) && v <= (1LL << 53));
    return std::vector<double>(count, static_cast<double>(v));
  }
  require(is_instance(value, np.module.attr("generic")) || is_exact_ndarray(value));
  require(holds_exactly_as_float64(value.attr("dtype")));
  nb::object flat = np.asarray(value, "dtype"_a = np.float64).attr("ravel")();
  const std::int64_t size = nb::cast<std::int64_t>(flat.attr("size"));
  require(nb::len(nb::object(value.attr("shape"))) <= 1 && (size == 1 || size == neurons));
  const ArrayData data(np.ascontiguousarray(flat));
  const double* values = static_cast<const double*>(data.data());
  if (size == 1) return std::vector<double>(count, values[0]);
  return std::vector<double>(values, values + size);
}

}  // namespace zelka::host::simulation
