// Reading the Python values a native plan is built from (numpy dtypes, LIF parameters),
// under the planner's one rule: a value the native kernels cannot take exactly as numpy
// computes it makes the call stay on the numpy path.
#pragma once

#include <cstdint>
#include <optional>
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

// An operand of numpy's type promotion: a value (array, numpy scalar, Python number) or an
// engine type standing for an array of it.
class Operand {
 public:
  Operand(nb::handle value) : value_(value) {}
  Operand(engine::DType dtype) : dtype_(dtype), is_dtype_(true) {}

  // How the operand takes part in numpy's promotion among float32 and float64: Python
  // floats and integers adapt to the other operand (weak); float32 and float64 arrays and
  // numpy scalars impose their type (strong); anything else is left to numpy.
  enum class Kind { weak, f32, f64, other };
  Kind kind() const;
  nb::object object() const;  // for numpy: the value, or an empty array of the type

 private:
  nb::handle value_;
  engine::DType dtype_ = engine::DType::f32;
  bool is_dtype_ = false;
};

// The type numpy gives the result of an operation on `a` and `b` (np.result_type); NotNative
// unless it is float32 or float64.  Float32 and float64 operands are promoted without
// calling numpy.
engine::DType promoted(const Operand& a, const Operand& b);

// Whether that type is `expected` (false where it is neither float32 nor float64).
bool result_is(const Operand& a, const Operand& b, engine::DType expected);

// A LIF node's decay 1 - 1/tau (rules::lif_decay) where tau is a float32 or float64 array
// of shape () or (n,) readable in place: computed in tau's type, as numpy computes it for
// that array, one value per entry of tau, as float64.  nullopt for any other tau, and where
// a division or subtraction raises any of the conditions numpy's error modes govern (a zero,
// a subnormal or a huge tau): numpy then computes it, and warns or raises as its modes say.
struct ArrayDecay {
  engine::DType dtype;
  std::vector<double> values;
};
std::optional<ArrayDecay> decay_of_array(nb::handle tau);

// The values of a parameter given once or once per neuron, one per neuron.
std::vector<double> per_neuron(const std::vector<double>& values, std::int64_t neurons);

// A LIF parameter as one float64 value per neuron: a Python number, a numpy scalar, or a
// real array of shape (), (1,) or (neurons,), whose values float64 holds exactly.
std::vector<double> neuron_values(nb::handle value, std::int64_t neurons);

}  // namespace zelka::host::simulation
