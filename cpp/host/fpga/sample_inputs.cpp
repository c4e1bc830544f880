#include "host/fpga/sample_inputs.hpp"

#include <algorithm>

#include "host/args.hpp"
#include "host/cpu/batch_records.hpp"
#include "host/numpy.hpp"

using namespace nanobind::literals;

namespace zelka::host::fpga {
namespace {

// "(3, 4)": a shape as numpy writes it.
nb::object shape_text(const zelka::fpga::snn::Shape& shape) {
  nb::list dimensions;
  for (std::size_t d : shape) dimensions.append(d);
  return nb::str(nb::tuple(dimensions));
}

}  // namespace

SampleInputs sample_inputs(nb::handle inputs, const char* argument,
                           const std::vector<nb::object>& names,
                           const std::vector<zelka::fpga::snn::Shape>& shapes) {
  const Numpy& np = Numpy::get();
  SampleInputs out;
  nb::object arrays = nb::borrow(inputs);
  out.per_step = nb::isinstance<cpu::PerStep>(inputs);
  if (out.per_step) arrays = inputs.attr("inputs");
  if (!PyDict_Check(arrays.ptr())) raise_argument_type(argument, "dict or PerStep", inputs);
  nb::list listed;
  for (const nb::object& name : names) listed.append(name);
  for (nb::handle key : nb::borrow<nb::dict>(arrays).keys())
    if (std::none_of(names.begin(), names.end(),
                     [&](const nb::object& name) { return equal(name, key); }))
      raise_formatted(PyExc_ValueError,
                      "Argument '{}' names {!r}, which is no Input node of the graph; its Inputs "
                      "are {}",
                      argument, key, listed);
  const std::size_t leading = out.per_step ? 2 : 1;
  for (std::size_t k = 0; k < names.size(); ++k) {
    const nb::object& name = names[k];
    PyObject* given = PyDict_GetItemWithError(arrays.ptr(), name.ptr());
    if (!given && PyErr_Occurred()) throw nb::python_error();
    if (!given)
      raise_formatted(PyExc_ValueError,
                      "Argument '{}' has no samples for the Input {!r}; give every Input of the "
                      "graph: {}",
                      argument, name, listed);
    nb::object array;
    try {
      array = np.ascontiguousarray(np.asarray(nb::handle(given), "dtype"_a = np.float64));
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
      raise_formatted(PyExc_TypeError,
                      "Argument '{}': the samples of {!r} must be an array of numbers, got {}",
                      argument, name, type_name_of(given));
    }
    const std::vector<std::int64_t> shape = shape_of(array);
    zelka::fpga::snn::Shape sample_shape;
    for (std::size_t d = leading; d < shape.size(); ++d)
      sample_shape.push_back(static_cast<std::size_t>(shape[d]));
    if (shape.size() < leading || sample_shape != shapes[k])
      raise_formatted(PyExc_ValueError,
                      "Argument '{}': the samples of {!r} have shape {}, expected ({}) + {}, the "
                      "Input's shape in the project",
                      argument, name, array.attr("shape"), out.per_step ? "steps, batch" : "batch,",
                      shape_text(shapes[k]));
    const auto samples = static_cast<std::uint64_t>(shape[leading - 1]);
    const auto steps = out.per_step ? static_cast<std::uint64_t>(shape[0]) : 0;
    if (k == 0) {
      out.samples = samples;
      out.steps = steps;
    } else if (samples != out.samples || steps != out.steps) {
      raise_formatted(PyExc_ValueError,
                      "Argument '{}': the samples of {!r} have shape {}, whose {} differs from "
                      "that of {!r}",
                      argument, name, array.attr("shape"),
                      samples != out.samples ? "batch" : "steps", names.front());
    }
    out.arrays.push_back(array);
  }
  if (out.samples == 0)
    raise_formatted(PyExc_ValueError, "Argument '{}' holds no sample", argument);
  if (out.per_step && out.steps == 0)
    raise_formatted(PyExc_ValueError,
                    "Argument '{}' holds no step: the first axis of its PerStep arrays, the steps, "
                    "has length 0",
                    argument);
  return out;
}

SamplePorts sample_ports(const SampleInputs& inputs, const char* argument,
                         const std::vector<nb::object>& names) {
  SamplePorts out;
  for (std::size_t k = 0; k < names.size(); ++k) {
    out.views.push_back(std::make_unique<ArrayData>(inputs.arrays[k]));
    out.ports.push_back({std::string("Argument '") + argument + "': " + repr_text(names[k]),
                         static_cast<const double*>(out.views.back()->data())});
  }
  return out;
}

void require_finite_samples(const SampleInputs& inputs, const char* argument,
                            const std::vector<nb::object>& names,
                            const std::vector<zelka::fpga::snn::Shape>& shapes) {
  zelka::fpga::snn::StimulusLayout layout;
  layout.samples = inputs.samples;
  layout.steps = inputs.steps;
  layout.per_step = inputs.per_step;
  layout.inputs = shapes;
  zelka::fpga::snn::require_finite(layout, sample_ports(inputs, argument, names).ports);
}

}  // namespace zelka::host::fpga
