#include "host/simulation/plan_values.hpp"

#include <cfenv>
#include <string>

#include "core/engine/fp_flags.hpp"
#include "core/rules/lif_rule.hpp"

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

// The values of a float32 or float64 array as float64, in C order.
std::vector<double> as_doubles(const FloatArray& array, std::int64_t count) {
  std::vector<double> out(static_cast<std::size_t>(count));
  if (array.dtype == engine::DType::f32) {
    const auto* v = static_cast<const float*>(array.data);
    for (std::int64_t i = 0; i < count; ++i) out[i] = v[i];
  } else {
    const auto* v = static_cast<const double*>(array.data);
    for (std::int64_t i = 0; i < count; ++i) out[i] = v[i];
  }
  return out;
}

}  // namespace

engine::DType required_dtype(nb::handle dtype) {
  engine::DType d;
  require(engine_dtype(dtype, d));
  return d;
}

Operand::Kind Operand::kind() const {
  if (is_dtype_) return dtype_ == engine::DType::f32 ? Kind::f32 : Kind::f64;
  PyObject* p = value_.ptr();
  if (PyFloat_CheckExact(p) || PyLong_CheckExact(p)) return Kind::weak;
  const Numpy& np = Numpy::get();
  if (value_.type().is(np.float32_scalar)) return Kind::f32;
  if (value_.type().is(np.float64_scalar)) return Kind::f64;
  if (auto array = float_array(value_))
    return array->dtype == engine::DType::f32 ? Kind::f32 : Kind::f64;
  return Kind::other;
}

nb::object Operand::object() const {
  if (!is_dtype_) return nb::borrow(value_);
  return Numpy::get().empty(0, "dtype"_a = dtype_object(dtype_));
}

engine::DType promoted(const Operand& a, const Operand& b) {
  using Kind = Operand::Kind;
  const Kind ka = a.kind(), kb = b.kind();
  if (ka != Kind::other && kb != Kind::other && (ka != Kind::weak || kb != Kind::weak))
    return ka == Kind::f64 || kb == Kind::f64 ? engine::DType::f64 : engine::DType::f32;
  return required_dtype(Numpy::get().result_type(a.object(), b.object()));
}

bool result_is(const Operand& a, const Operand& b, engine::DType expected) {
  try {
    return promoted(a, b) == expected;
  } catch (const NotNative&) {
    return false;
  }
}

namespace {

template <typename T>
std::vector<double> decays(const T* tau, std::int64_t count) {
  std::vector<double> out(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i)
    out[i] = static_cast<double>(rules::lif_decay(T(1), tau[i]));
  return out;
}

}  // namespace

std::optional<ArrayDecay> decay_of_array(nb::handle tau) {
  const std::optional<FloatArray> array = float_array(tau);
  if (!array || !array->in_place() || array->shape.size() > 1) return std::nullopt;
  const std::int64_t count = array->shape.empty() ? 1 : array->shape[0];
  const engine::UnreportedFlags unreported;
  std::feclearexcept(FE_ALL_EXCEPT);
  ArrayDecay decay{array->dtype, array->dtype == engine::DType::f32
                                     ? decays(static_cast<const float*>(array->data), count)
                                     : decays(static_cast<const double*>(array->data), count)};
  if (std::fetestexcept(FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID))
    return std::nullopt;
  return decay;
}

std::vector<double> per_neuron(const std::vector<double>& values, std::int64_t neurons) {
  require(values.size() == 1 || static_cast<std::int64_t>(values.size()) == neurons);
  if (values.size() == 1) return std::vector<double>(static_cast<std::size_t>(neurons), values[0]);
  return values;
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
  if (auto array = float_array(value); array && array->in_place() && array->shape.size() <= 1) {
    const std::int64_t size = array->shape.empty() ? 1 : array->shape[0];
    require(size == 1 || size == neurons);
    if (size == 1) return std::vector<double>(count, as_doubles(*array, 1)[0]);
    return as_doubles(*array, size);
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
