// zelka.backend.cpu._saturate: the native `saturate` of the CPU graph utilities.
#include "core/numeric/saturate.hpp"

#include <nanobind/nanobind.h>

#include <string>

#include "core/numeric/precision.hpp"
#include "host/numpy.hpp"
#include "host/python.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka;

namespace {

numeric::Range range_of(nb::handle precision) {
  if (PyUnicode_Check(precision.ptr())) {
    if (auto range = numeric::precision_range(host::utf8(precision))) return *range;
  }
  throw nb::value_error(("Unknown precision " + host::repr_text(precision) +
                         "; expected 'fp32', 'fp16', 'int16', 'int8', 'int4' or 'ap_fixed<W,I>'")
                            .c_str());
}

nb::object saturate(nb::handle values, nb::handle precision) {
  const numeric::Range range = range_of(precision);
  const host::Numpy& np = host::Numpy::get();
  nb::object array = np.asarray(values, "order"_a = "C");
  nb::object dtype = array.attr("dtype");
  const bool native_order = !host::equal(dtype.attr("byteorder"), nb::str(">"));
  if (!native_order) {
    nb::object native = dtype.attr("newbyteorder")("=");
    return saturate(array.attr("astype")(native), precision).attr("astype")(dtype);
  }
  const numeric::ElementType type{host::utf8(dtype.attr("kind"))[0],
                                  nb::cast<std::size_t>(dtype.attr("itemsize"))};
  if (!numeric::can_saturate(type))
    throw nb::type_error(
        ("saturate needs an array of real numbers, got dtype " + host::str_text(dtype)).c_str());
  nb::object result = np.empty(array.attr("shape"), dtype);
  const host::ArrayData in(array);
  const host::ArrayData out(result, true);
  const std::size_t n = static_cast<std::size_t>(in.bytes()) / type.itemsize;
  numeric::saturate_elements(type, in.data(), out.data(), n, range);
  return result;
}

}  // namespace

NB_MODULE(_saturate, m) {
  host::Numpy::load();
  m.def("saturate", &saturate, "values"_a.none(), "precision"_a.none(),
        "Return a new array of the same shape and dtype with the values clipped to the range "
        "of `precision`:\n"
        "\"fp32\" +-3.4028234663852886e38, \"fp16\" +-65504, \"int16\" [-32768, 32767],\n"
        "\"int8\" [-128, 127], \"int4\" [-8, 7], \"ap_fixed<W,I>\" [-2^(I-1), 2^(I-1) - "
        "2^-(W-I)].\n"
        "Bounds are taken inward to values the dtype holds; NaN stays NaN.  An unknown "
        "precision raises ValueError.");
}
