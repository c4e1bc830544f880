#include "host/convert/lif_arrays.hpp"

#include <charconv>
#include <cstdint>
#include <string>
#include <vector>

#include "core/convert/lif_constants.hpp"
#include "host/numpy.hpp"

namespace zelka::host::convert {
namespace {

// The values of a 1-D, C-contiguous float32 array; TypeError naming `argument` otherwise.
std::vector<float> float32_values(nb::handle array, const char* argument) {
  const std::optional<FloatArray> a = float_array(array);
  if (!a || a->dtype != engine::DType::f32 || a->shape.size() != 1 || !a->c_contiguous)
    raise_formatted(PyExc_TypeError, "{} must be a 1-D C-contiguous float32 array, got {!r}",
                    argument, array);
  const auto* first = static_cast<const float*>(a->data);
  return {first, first + a->shape[0]};
}

// The shortest text that reads back as the same float32 ("0.1", "nan").
std::string shortest_text(float x) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, x).ptr;
  return {text, end};
}

nb::object float32_array(const std::vector<float>& values) {
  return array_from_bytes(values.data(), {static_cast<std::int64_t>(values.size())},
                          engine::DType::f32);
}

}  // namespace

nb::object time_constants_for_decays(nb::handle decays, nb::handle layer) {
  std::vector<float> taus = float32_values(decays, "decays");
  for (std::size_t i = 0; i < taus.size(); ++i) {
    const std::optional<float> tau = zelka::convert::time_constant_for_decay(taus[i]);
    if (!tau)
      raise_formatted(PyExc_ValueError,
                      "{}: no float32 time constant tau gives the decay beta={} of neuron {}: the "
                      "simulator decays by 1 - 1/tau computed in float32, which is never NaN, "
                      "misses some values between 0.5 and 0.75 and, below 0.5, every value that "
                      "is not a multiple of 2**-24",
                      layer, shortest_text(taus[i]), i);
    taus[i] = *tau;
  }
  return float32_array(taus);
}

nb::object inclusive_thresholds(nb::handle strict_thresholds) {
  std::vector<float> thresholds = float32_values(strict_thresholds, "strict_thresholds");
  for (float& t : thresholds) t = zelka::convert::inclusive_threshold(t);
  return float32_array(thresholds);
}

}  // namespace zelka::host::convert
