// zelka._convert: the numeric side of zelka.convert (the LIF constants of converted layers).
#include <nanobind/nanobind.h>

#include "host/convert/lif_arrays.hpp"
#include "host/numpy.hpp"
#include "host/python_types.hpp"
#include "host/typed_function.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka::host;
namespace py = zelka::host::python_type;

NB_MODULE(_convert, m) {
  Numpy::load();
  def_typed(
      m, "time_constants_for_decays",
      [](Arg<py::ArrayLike> decays, Arg<py::Str> layer) -> Returns<py::Array> {
        return convert::time_constants_for_decays(decays, layer);
      },
      "decays"_a, "layer"_a,
      "Float32 time constants tau whose simulator decay 1 - 1/tau (float32) equals each of\n"
      "`decays` (a 1-D float32 array) to the bit, each the nearest to 1/(1 - decay) among\n"
      "those that do.  ValueError naming `layer` when a decay has none.");
  def_typed(
      m, "inclusive_thresholds",
      [](Arg<py::ArrayLike> strict_thresholds) -> Returns<py::Array> {
        return convert::inclusive_thresholds(strict_thresholds);
      },
      "strict_thresholds"_a,
      "The next float32 above each of `strict_thresholds` (a 1-D float32 array): a float32\n"
      "membrane reaches it exactly when it exceeds the strict threshold.");
}
