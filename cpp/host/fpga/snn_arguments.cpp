#include "host/fpga/snn_arguments.hpp"

#include "core/fpga/snn_bench_data.hpp"
#include "host/args.hpp"
#include "host/cpu/batch_records.hpp"

namespace zelka::host::fpga {

zelka::fpga::FixedType type_argument(nb::handle text, const char* argument, bool auto_taken) {
  if (auto type = numeric::parse_fixed_type(utf8(text))) return *type;
  raise_formatted(PyExc_ValueError,
                  "Argument '{}' must be a fixed-point type name ({}){}, got {!r}", argument,
                  numeric::fixed_type_forms, auto_taken ? " or 'auto'" : "", text);
}

zelka::fpga::FixedType membrane_argument(nb::handle membrane_precision,
                                         const zelka::fpga::FixedType& precision) {
  if (membrane_precision.is_none()) return zelka::fpga::default_membrane_type(precision);
  return type_argument(membrane_precision, "membrane_precision");
}

void require_output_dir(nb::handle output_dir) {
  if (!truth(output_dir))
    throw nb::value_error(
        "Argument 'output_dir' must name a folder to write the project to, got ''");
}

std::int64_t positive_argument(nb::handle value, const char* argument) {
  const long long n = PyLong_AsLongLong(value.ptr());
  if (n == -1 && PyErr_Occurred()) throw nb::python_error();
  if (n < 1)
    raise_formatted(PyExc_ValueError, "Argument '{}' must be at least 1, got {!r}", argument,
                    value);
  return n;
}

void require_reference_fits(const zelka::fpga::snn::Network& network, std::int64_t steps,
                            std::uint64_t limit) {
  namespace snn = zelka::fpga::snn;
  if (snn::reference_bytes(network, static_cast<std::uint64_t>(steps)) <= limit) return;
  const std::uint64_t per_step = snn::reference_bytes(network, 1);
  raise_formatted(PyExc_ValueError,
                  "Argument 'n_steps': the test bench's reference spikes of {} steps would take {} "
                  "bytes ({} per step), above the limit of {} bytes ({} MiB): at most {} steps "
                  "fit this network",
                  steps, multiply(nb::int_(steps), nb::int_(per_step)), per_step, limit,
                  limit >> 20, limit / per_step);
}

void require_stimulus_steps(const zelka::fpga::snn::Network& network, std::int64_t steps) {
  for (const zelka::fpga::snn::Node& node : network.nodes)
    if (node.stimulus_steps > 0 && static_cast<std::uint64_t>(steps) > node.stimulus_steps)
      raise_formatted(PyExc_ValueError,
                      "Argument 'n_steps': {} steps need a stimulus for every step, and the "
                      "PerStep stimulus of {} holds {}",
                      steps, nb::str(node.label.c_str()), node.stimulus_steps);
}

void require_stimulus_or_none(nb::handle value, const char* argument) {
  if (value.is_none() || PyDict_Check(value.ptr()) || nb::isinstance<cpu::PerStep>(value)) return;
  raise_argument_type(argument, "dict, PerStep or None", value);
}

}  // namespace zelka::host::fpga
