// Python objects <-> the ordered value model.  Objects the model does not interpret
// (numpy scalars, user objects) travel as opaque values and come back as the very same
// object.
#pragma once

#include <vector>

#include "core/value/value.hpp"
#include "host/python.hpp"

namespace zelka::host {

class ValueConverter {
 public:
  // Containers nested deeper than the interpreter's recursion limit, or containing
  // themselves, raise RecursionError.  Dicts are walked over a snapshot of their items, so
  // user code run on the way (an opaque value's __str__) cannot free what is being read.
  value::Value to_value(nb::handle obj);
  // Any depth: the tree is walked with an explicit stack.
  nb::object to_python(const value::Value& v) const;

 private:
  std::vector<nb::object> opaque_;  // opaque value n holds opaque_[n - 1]
};

// An exact Python int as a value: std::int64_t when it fits, else its decimal digits.
// ValueError (Python's) for an int of more digits than the interpreter converts to text.
value::Value int_value(nb::handle exact_int);

// The interpreter's limit on the digits of ints converted to and from text, and how to raise
// it: "(it converts at most 4300 digits; sys.set_int_max_str_digits raises the limit)".
std::string int_digits_limit_note();

}  // namespace zelka::host
