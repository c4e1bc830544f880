// Exceptions the core throws.  Each maps to one Python exception kind in the bindings;
// the message is final text.
#pragma once

#include <stdexcept>
#include <string>

namespace zelka {

struct ValueError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct KeyError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct TypeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct ZeroDivisionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct OverflowError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace zelka
