// zelka.backend.cpu._saturate: the native `saturate` of the CPU graph utilities.
#include <nanobind/nanobind.h>

#include "host/numpy.hpp"
#include "host/python_types.hpp"
#include "host/saturate_array.hpp"
#include "host/typed_function.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka;
namespace py = zelka::host::python_type;

NB_MODULE(_saturate, m) {
  host::Numpy::load();
  host::def_typed(
      m, "saturate",
      [](host::Arg<py::ArrayLike> values, host::Arg<py::Str> precision)
          -> host::Returns<py::Array> { return host::saturate_array(values, precision); },
      "values"_a, "precision"_a,
      "Return a new array of the same shape and dtype with the values clipped to the range "
      "of `precision`:\n"
      "\"fp32\" +-3.4028234663852886e38, \"fp16\" +-65504, \"int16\" [-32768, 32767],\n"
      "\"int8\" [-128, 127], \"int4\" [-8, 7], \"ap_fixed<W,I>\" [-2^(I-1), 2^(I-1) - "
      "2^-(W-I)].\n"
      "Bounds are taken inward to values the dtype holds; NaN stays NaN.  An unknown "
      "precision raises ValueError.");
}
