// Reading the Python values a native plan is built from (numpy dtypes, LIF parameters),
// under the planner's one rule: a value the native kernels cannot take exactly as numpy
// computes it makes the call stay on the numpy path.
#pragma once

#include <cstdint>
#include <vector>

#include "host/numpy.hpp"

namespace zelka::host::simulation {

// Thrown while planning when the call cannot run natively.
struct NotNative {};

inline void require(bool condition) {
  if (!condition) throw NotNative{};
}

// The engine type of an array's dtype (float32 or float64), else NotNative.
engine::DType required_dtype(nb::handle dtype);

// Whether numpy's result type of combining `a` and `b` is `expected`.
bool result_is(nb::handle a, nb::handle b, engine::DType expected);

// A LIF parameter as one float64 value per neuron: a Python number, a numpy scalar, or a
// real array of shape (), (1,) or (neurons,), whose values float64 holds exactly.
std::vector<double> neuron_values(nb::handle value, std::int64_t neurons);

}  // namespace zelka::host::simulation
