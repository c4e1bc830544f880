#include "host/simulation/node_times.hpp"

namespace zelka::host::simulation {

void NodeTimes::add(nb::handle name, std::int64_t nanoseconds) {
  PyObject* found = PyDict_GetItemWithError(index_.ptr(), name.ptr());
  if (!found && PyErr_Occurred()) throw nb::python_error();
  if (found) {
    ns_[nb::cast<std::size_t>(nb::handle(found))] += nanoseconds;
    return;
  }
  index_[name] = names_.size();
  names_.push_back(nb::borrow(name));
  ns_.push_back(nanoseconds);
}

nb::dict NodeTimes::microseconds() const {
  nb::dict out;
  for (std::size_t i = 0; i < names_.size(); ++i)
    out[names_[i]] = static_cast<double>(ns_[i]) / 1000.0;
  return out;
}

}  // namespace zelka::host::simulation
