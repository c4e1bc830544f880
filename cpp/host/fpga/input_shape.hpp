// The input shape of an hls4ml configuration ("InputShape") in the two forms a project
// needs: without the batch dimension for build.py, with a leading None for
// hls4ml_config.json.  Elements are converted with int() (floats truncate, integer text is
// parsed); its errors propagate.
#pragma once

#include <string>

#include "core/value/value.hpp"
#include "host/python.hpp"

namespace zelka::host::fpga {

// A list or tuple whose first element is None: the elements after it; any other list or
// tuple: its elements that are not None; anything else: no elements.
value::Tuple shape_without_batch(nb::handle shape);

// A list or tuple: None followed by its elements (all of them when the first is not None,
// else those that are not None), written "None, 3, 8, 8"; anything else: str(shape).
std::string shape_with_batch_text(nb::handle shape);

}  // namespace zelka::host::fpga
