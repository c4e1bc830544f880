// zelka.backend.cpu._saturate: the native `saturate` of the CPU graph utilities.
#include <nanobind/nanobind.h>

#include "host/numpy.hpp"
#include "host/saturate_array.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka;

NB_MODULE(_saturate, m) {
  host::Numpy::load();
  m.def("saturate", &host::saturate_array, "values"_a.none(), "precision"_a.none(),
        "Return a new array of the same shape and dtype with the values clipped to the range "
        "of `precision`:\n"
        "\"fp32\" +-3.4028234663852886e38, \"fp16\" +-65504, \"int16\" [-32768, 32767],\n"
        "\"int8\" [-128, 127], \"int4\" [-8, 7], \"ap_fixed<W,I>\" [-2^(I-1), 2^(I-1) - "
        "2^-(W-I)].\n"
        "Bounds are taken inward to values the dtype holds; NaN stays NaN.  An unknown "
        "precision raises ValueError.");
}
