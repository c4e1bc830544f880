// saturate(values, precision) of the CPU graph utilities: a new array of the same shape
// and dtype with the values clipped to the precision's range.
#pragma once

#include "host/python.hpp"

namespace zelka::host {

// ValueError for an unknown precision, TypeError for an array that does not hold real
// numbers.
nb::object saturate_array(nb::handle values, nb::handle precision);

}  // namespace zelka::host
