// The data files an SNN project's test bench reads when it runs: the stimulus of its samples
// and the spikes the CPU simulator gave for them, which it compares with.  Both are text, a
// header first:
//
//   stimulus (tb_data/stimulus.dat):
//     zelka-stimulus samples=<B> steps=<T> per_step=<0|1> inputs=<P> type=<input_t>
//     input <k> values=<count> shape=<d1>,<d2>,...      for each Input port, k = 1, 2, ...
//     then for each sample (and, with per_step=1, each of its steps) a line per port: its
//     values, separated by spaces, on the grid of input_t (applied at every step of the sample
//     when per_step=0)
//
//   reference (tb_data/reference_spikes.dat):
//     zelka-reference samples=<B> steps=<T> layers=<L> graph=<SHA-256 of the stored graph>
//     layer <k> neurons=<count>                         for each LIF layer, k = 1, 2, ...
//     then for each sample, step and layer a line of its neurons' spikes: '1' for each neuron
//     that fired, '0' for the others
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "core/fpga/snn_network.hpp"

namespace zelka::fpga::snn {

struct StimulusLayout {
  std::uint64_t samples = 1, steps = 0;
  bool per_step = false;      // values for every step, else one set per sample
  FixedType input_type;       // the grid the values are rounded onto
  std::vector<Shape> inputs;  // the shape of each Input port, in port order
};

// The values of one Input port, row-major: (samples, *shape), or (steps, samples, *shape) when
// the stimulus is per step.
struct PortValues {
  std::string name;  // the Input node, for messages
  const double* values;
};

// zelka::ValueError naming the port, the sample (and step) and the element for the first NaN or
// infinity of `ports`' values laid out as `layout` describes: no fixed-point type holds one, and
// ranges observed on a run fed one mean nothing.
void require_finite(const StimulusLayout& layout, const std::vector<PortValues>& ports);

// Writes the stimulus file of `layout` with each value rounded to the nearest value of its
// input type (past its range, to the range's end).  `between_samples` (when given) is called
// before each sample after the first: an exception it throws stops the writing.  Checks the
// values with require_finite before writing anything.
void write_stimulus(std::ostream& out, const StimulusLayout& layout,
                    const std::vector<PortValues>& ports,
                    const std::function<void()>& between_samples = {});

// The layout of a stimulus file, from its header; zelka::ValueError naming `file` and the line
// when the header is not in its form.
StimulusLayout read_stimulus_layout(std::istream& in, const std::string& file);

struct ReferenceLayout {
  std::uint64_t samples = 1, steps = 0;
  std::vector<std::size_t> layers;  // neurons of each LIF layer, in the network's order
  std::string graph_digest;         // SHA-256 (hexadecimal) of the graph file simulated
};

// Writes the reference file of `layout`; `trains` holds for each layer its spikes, row-major
// (steps, samples, neurons), nonzero where a neuron fired.
void write_reference(std::ostream& out, const ReferenceLayout& layout,
                     const std::vector<const std::uint8_t*>& trains,
                     const std::function<void()>& between_samples = {});

// The layout of a reference file, from its header; zelka::ValueError naming `file` and the line
// when the header is not in its form.
ReferenceLayout read_reference_layout(std::istream& in, const std::string& file);

// The size of the spikes a reference file of one sample holds for `steps` steps of the
// network's LIF layers, in bytes: a line of each layer's neuron count and its line break per
// step (saturated at the largest 64-bit count).
std::uint64_t reference_bytes(const Network& network, std::uint64_t steps);

// The most reference_bytes a project holds: 64 MiB.
inline constexpr std::uint64_t reference_bytes_limit = std::uint64_t{64} << 20;

}  // namespace zelka::fpga::snn
