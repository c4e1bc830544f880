// The arguments the spiking-network writers share: fixed-point type names and counts.
#pragma once

#include <cstdint>

#include "core/fpga/snn_fixed_types.hpp"
#include "core/fpga/snn_network.hpp"
#include "host/python.hpp"

namespace zelka::host::fpga {

// The type a str argument names; ValueError naming the argument and the forms otherwise (and
// 'auto' among them where the writer takes it).
zelka::fpga::FixedType type_argument(nb::handle text, const char* argument,
                                     bool auto_taken = false);

// The membrane type: membrane_precision's (a str) or, when it is None, the default for
// `precision`.
zelka::fpga::FixedType membrane_argument(nb::handle membrane_precision,
                                         const zelka::fpga::FixedType& precision);

// ValueError unless output_dir (a str) names a folder: is not empty.
void require_output_dir(nb::handle output_dir);

// An int argument of at least 1; ValueError naming the argument otherwise.
std::int64_t positive_argument(nb::handle value, const char* argument);

// ValueError naming n_steps when the test bench's reference spikes of `steps` steps would
// take more than `limit` bytes (a whole number of MiB).
void require_reference_fits(const zelka::fpga::snn::Network& network, std::int64_t steps,
                            std::uint64_t limit);

// ValueError naming n_steps when a PerStep stimulus of the network holds fewer than `steps`
// steps.
void require_stimulus_steps(const zelka::fpga::snn::Network& network, std::int64_t steps);

// TypeError naming the argument unless `value` is a dict, a PerStep or None.
void require_stimulus_or_none(nb::handle value, const char* argument);

}  // namespace zelka::host::fpga
