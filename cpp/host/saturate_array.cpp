#include "host/saturate_array.hpp"

#include "core/numeric/precision.hpp"
#include "core/numeric/saturate.hpp"
#include "host/numpy.hpp"

using namespace nanobind::literals;

namespace zelka::host {
namespace {

numeric::Range range_of(nb::handle precision) {
  Py_ssize_t size = 0;
  const char* text =
      PyUnicode_Check(precision.ptr()) ? PyUnicode_AsUTF8AndSize(precision.ptr(), &size) : nullptr;
  if (text) {
    if (auto range = numeric::precision_range({text, static_cast<std::size_t>(size)}))
      return *range;
  } else {
    PyErr_Clear();  // not text, or text without a UTF-8 form: no precision's name either way
  }
  raise_formatted(
      PyExc_ValueError,
      "Unknown precision {!r}; expected 'fp32', 'fp16', 'int16', 'int8', 'int4' or 'ap_fixed<W,I>'",
      precision);
}

}  // namespace

nb::object saturate_array(nb::handle values, nb::handle precision) {
  const numeric::Range range = range_of(precision);
  const Numpy& np = Numpy::get();
  nb::object array = np.asarray(values, "order"_a = "C");
  nb::object dtype = array.attr("dtype");
  const bool native_order = !equal(dtype.attr("byteorder"), nb::str(">"));
  if (!native_order) {
    nb::object native = dtype.attr("newbyteorder")("=");
    return saturate_array(array.attr("astype")(native), precision).attr("astype")(dtype);
  }
  const numeric::ElementType type{utf8(dtype.attr("kind"))[0],
                                  nb::cast<std::size_t>(dtype.attr("itemsize"))};
  if (!numeric::can_saturate(type))
    throw nb::type_error(
        ("saturate needs an array of real numbers, got dtype " + str_text(dtype)).c_str());
  nb::object result = np.empty(array.attr("shape"), dtype);
  const ArrayData in(array);
  const ArrayData out(result, true);
  const std::size_t n = static_cast<std::size_t>(in.bytes()) / type.itemsize;
  numeric::saturate_elements(type, in.data(), out.data(), n, range);
  return result;
}

}  // namespace zelka::host
