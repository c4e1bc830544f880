// Samples for the Inputs of an SNN project, given as simulate_batch takes them: a dict from
// Input name to arrays (batch, *shape), the same at every step, or a PerStep of arrays (steps,
// batch, *shape).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/fpga/snn_bench_data.hpp"
#include "core/fpga/snn_network.hpp"
#include "host/numpy.hpp"
#include "host/python.hpp"

namespace zelka::host::fpga {

struct SampleInputs {
  std::vector<nb::object> arrays;  // float64, C-contiguous, in the order of the Inputs
  std::uint64_t samples = 0;
  std::uint64_t steps = 0;  // the PerStep arrays' first axis; 0 for a dict
  bool per_step = false;
};

// The arrays of `inputs` (argument `argument`) for the Inputs `names` of per-sample shapes
// `shapes`.  TypeError for another kind of value or arrays that are not numbers; ValueError
// naming the argument for a key that names no Input, an Input left out, a shape other than
// the Input's (after the batch axis, and the steps for a PerStep), batches or steps that
// differ between the arrays, an empty batch and PerStep arrays of no step.
SampleInputs sample_inputs(nb::handle inputs, const char* argument,
                           const std::vector<nb::object>& names,
                           const std::vector<zelka::fpga::snn::Shape>& shapes);

// The values of checked samples as the core reads them, one port per Input, each named
// "Argument '<argument>': '<Input>'" for messages; valid while this lives.
struct SamplePorts {
  std::vector<std::unique_ptr<ArrayData>> views;
  std::vector<zelka::fpga::snn::PortValues> ports;
};
SamplePorts sample_ports(const SampleInputs& inputs, const char* argument,
                         const std::vector<nb::object>& names);

// ValueError naming the argument, the Input, the sample (and step) and the element for the
// first NaN or infinity of `inputs`, checked as the project's stimulus values are.
void require_finite_samples(const SampleInputs& inputs, const char* argument,
                            const std::vector<nb::object>& names,
                            const std::vector<zelka::fpga::snn::Shape>& shapes);

}  // namespace zelka::host::fpga
