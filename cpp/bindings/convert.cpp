// zelka._convert: the numeric side of zelka.convert (the LIF constants of converted layers).
#include <nanobind/nanobind.h>

#include "host/convert/lif_arrays.hpp"
#include "host/numpy.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka::host;

NB_MODULE(_convert, m) {
  Numpy::load();
  m.def("time_constants_for_decays", &convert::time_constants_for_decays, "decays"_a.none(),
        "layer"_a.none(),
        "Float32 time constants tau whose simulator decay 1 - 1/tau (float32) equals each of\n"
        "`decays` (a 1-D float32 array) to the bit, each the nearest to 1/(1 - decay) among\n"
        "those that do.  ValueError naming `layer` when a decay has none.");
  m.def("inclusive_thresholds", &convert::inclusive_thresholds, "strict_thresholds"_a.none(),
        "The next float32 above each of `strict_thresholds` (a 1-D float32 array): a float32\n"
        "membrane reaches it exactly when it exceeds the strict threshold.");
}
