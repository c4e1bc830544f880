// precision="auto" and membrane_precision="auto" of write_snn_project: the network run on
// calibration samples by the CPU backend's simulate_batch (spikes and membranes of every LIF
// layer recorded), the ranges of its values observed, and its types chosen by the rule of
// core/fpga/snn_auto_types.hpp.
#pragma once

#include <cstdint>
#include <optional>

#include "core/fpga/snn_auto_types.hpp"
#include "host/python.hpp"

namespace zelka::host::fpga {

struct AutoPrecision {
  // A copy of the graph whose dense nodes set weight_t, bias_t, accum_t and result_t: the types
  // they set themselves, the chosen ones for the others (new nodes; the given graph is left
  // alone).
  nb::object graph;
  zelka::fpga::snn::ChosenTypes types;
};

// The types of `network` (read from `graph`, with its plan) for `n_steps`: a `precision` or
// `membrane` given is kept, the other chosen, and so are the types its dense nodes set.
// `calibration` (None: the network's stimulus as one sample) holds the samples the ranges are
// observed on, as simulate_batch takes them (Input name -> (batch, *shape), or a PerStep of
// (steps, batch, *shape)), run for the project's steps or the PerStep's.  ValueError or
// TypeError naming 'calibration' for samples that do not fit the network's Inputs, ValueError
// when the CPU simulator fails on one or choose_types cannot choose a type.
AutoPrecision auto_precision(nb::handle graph, const zelka::fpga::snn::Network& network,
                             const zelka::fpga::snn::Plan& plan, nb::handle calibration,
                             std::int64_t n_steps, std::optional<zelka::fpga::FixedType> precision,
                             std::optional<zelka::fpga::FixedType> membrane);

}  // namespace zelka::host::fpga
