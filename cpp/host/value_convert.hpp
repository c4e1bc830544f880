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
  value::Value to_value(nb::handle obj);
  nb::object to_python(const value::Value& v) const;

 private:
  std::vector<nb::object> opaque_;  // opaque value n holds opaque_[n - 1]
};

}  // namespace zelka::host
