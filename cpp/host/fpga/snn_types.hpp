// The fixed-point types both spiking-network writers (the HLS project and the Verilog design)
// take: `precision` and `membrane_precision` as type names or "auto", the types chosen by the
// rule of core/fpga/snn_auto_types.hpp on `calibration`, and the types reported per layer.
#pragma once

#include <cstdint>
#include <optional>

#include "core/fpga/snn_fixed_types.hpp"
#include "host/fpga/snn_reading.hpp"
#include "host/python.hpp"

namespace zelka::host::fpga {

// The types given: nullopt where "auto" asks for a choice.  membrane_precision None is the
// default for a given precision, and a choice with precision "auto".
struct GivenTypes {
  std::optional<zelka::fpga::FixedType> precision, membrane;
  bool chosen() const { return !precision || !membrane; }
};

// precision and membrane_precision (str, membrane_precision also None) read; ValueError naming
// the argument for a name that is no type, and for a `calibration` given where nothing is chosen.
GivenTypes given_types(nb::handle precision, nb::handle membrane_precision, nb::handle calibration);

// The settings a network is first read with: the given types, the defaults in place of those
// to be chosen.
NetworkSettings settings_for(const GivenTypes& given, zelka::fpga::snn::Strategy strategy,
                             unsigned reuse_factor, const char* writer);

// Chooses the types `given` leaves open (auto_precision on `calibration` for `n_steps`) and
// puts them into `planned` (planned again, since its value and sum types follow them); returns
// the graph the project is built from: `graph` itself, or its copy whose dense nodes set the
// chosen types.  `given` then holds the types used.
nb::object choose_missing_types(nb::handle graph, PlannedNetwork& planned, GivenTypes& given,
                                nb::handle calibration, std::int64_t n_steps);

// Node name -> its types: weight_t, bias_t, accum_t and result_t of a dense layer, membrane_t
// and decay_t of an LIF layer.
nb::dict layer_types(const zelka::fpga::snn::Network& network);

}  // namespace zelka::host::fpga
