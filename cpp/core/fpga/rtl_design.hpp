// The hardware the Verilog generator builds for a spiking network: the SNN project's network
// model and plan (snn_network.hpp, the one reading of the graph and of its step rules) laid
// out as memories and units that a controller runs once per time step, in one of two
// schedules (below).
//
// Every node value lives in a memory of words of `lanes` values (element i in word
// i / lanes, lane i % lanes): the Input nodes' stimuli (written by the host), the dense
// layers' outputs, the LIF layers' spikes, and the pass-through nodes that need one of their
// own (sums, and values read back at the next step); other pass-through nodes and the
// Output nodes name the memory of the node they pass on.  All the memories are read at one
// word address, driven by the running unit.  A unit reads the sum of its reads, each
// aligned into the unit's input format and added only from the step on at which it has a
// value (the plan's from_step); a unit runs only from its node's first step on.  The LIF
// layers share one neuron engine, their membranes held in one memory, a layer after the
// other.
//
// Two schedules run the units.  Sequential: a step at a time, the units one after the other.
// Overlapped: every unit runs its steps as soon as what it reads holds the step's values and
// the units reading its own value have finished with the step before (so a layer computes
// step t + 1 while the next one computes step t), the Input nodes' memories holding two steps'
// stimuli.  Overlap needs every value read at the step that computes it: a graph that reads a
// value at the next step (a back edge) or whose nodes start later than the first step is
// built sequentially.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/fpga/snn_network.hpp"

namespace zelka::fpga::rtl {

namespace snn = zelka::fpga::snn;

// A two's complement format: `width` bits, `fraction` of them after the binary point.
struct Format {
  int width = 1;
  int fraction = 0;
  int integer_bits() const { return width - fraction; }
};

// The two's complement format that holds every value of `type` (one bit more when unsigned).
Format container_of(const FixedType& type);

// How zelka_fixed_convert rounds into a type: its quantisation and overflow mode numbers.
struct Rounding {
  int quantisation = 0;  // AP_TRN, AP_TRN_ZERO, AP_RND, AP_RND_ZERO, AP_RND_MIN_INF,
                         // AP_RND_INF, AP_RND_CONV
  int overflow = 0;      // AP_WRAP, AP_SAT, AP_SAT_ZERO, AP_SAT_SYM
};

// A memory holding a node's value.
struct Storage {
  std::size_t node;  // whose value it holds
  FixedType type;    // of its values
  std::size_t size = 0, words = 0;
};

// One read of a unit: a memory's word aligned into the unit's input format (`shift` more
// fractional bits), added from step `from_step` on.
struct Term {
  std::size_t storage;
  int from_step = 1;
  int shift = 0;
  bool previous_step = false;  // the memory's node comes later in the order (or is the reader)
};

// What a unit reads each word: the sum of its terms, in `format`.  No terms: zero.
struct UnitInput {
  std::vector<Term> terms;
  Format format;
};

// A dense layer computed `out_lanes` outputs at a time (a block: a multiple of the design's
// lanes), written a word of `lanes` outputs a cycle.
struct DenseUnit {
  std::size_t node, storage;
  UnitInput input;
  std::size_t n_in = 0, in_words = 0;
  std::size_t out_lanes = 1, out_words = 0, blocks = 0;
  bool spikes = false;  // the input is spikes: weights are added, not multiplied
  Format weight, bias, product, accumulator;
  Rounding rounding;  // into the result type
};

struct LifLayer {
  std::size_t node, storage;
  std::size_t number = 0;  // among all LIF nodes of the network, counted from 0
  UnitInput input;         // in the engine's input format
  std::size_t first_word = 0, words = 0;
};

struct CopyUnit {
  std::size_t node, storage;
  UnitInput input;
};

enum class UnitKind { dense, lif, copy };

// A unit run in its turn: `index` into the design's dense units, LIF layers or copies.
struct Operation {
  UnitKind kind;
  std::size_t index;
  int first_step = 1;
};

// A port the host reads (Output nodes) or writes (Input nodes): the node and its memory.
struct Port {
  std::size_t node, storage;
  int first_step = 1;  // Output ports: the first step after a clear at which it has a value
};

enum class Schedule { sequential, overlapped };

struct Design {
  std::size_t lanes = 1;
  Schedule schedule = Schedule::sequential;
  std::vector<Storage> storages;
  std::vector<DenseUnit> dense;
  std::vector<LifLayer> lif;
  std::vector<CopyUnit> copies;
  std::vector<Operation> operations;  // in execution order
  std::vector<Port> inputs, outputs;
  // The LIF engine: the membranes' type and rounding, the decays' type, the input format of
  // every layer and the membrane words of all layers.
  FixedType membrane, decay;
  Rounding membrane_rounding;
  Format lif_input;
  std::size_t membrane_words = 0;
  std::size_t lif_nodes = 0;  // LIF nodes of the network, evaluated or not
  int steps_to_settle = 1;    // the plan's: the step count a clear restarts, saturated there
};

// The outputs a dense node computes at a time, where they differ from the design's lanes.
struct DenseLanes {
  std::size_t node;
  std::size_t lanes;
};

// The design of `network` (its constants on their types' grids, round_constants) with
// `lanes` values per word, each dense layer computing `lanes` outputs at a time or those
// `dense_lanes` gives it (multiples of `lanes`), overlapped where `overlap` asks for it and the
// graph allows it, else sequential.  zelka::ValueError naming the node for a type whose
// rounding the generator does not build: AP_WRAP_SM, or saturation bits.
Design design_network(const snn::Network& network, const snn::Plan& plan, std::size_t lanes,
                      const std::vector<DenseLanes>& dense_lanes = {}, bool overlap = false);

// The name of a schedule: "sequential" or "overlapped".
const char* schedule_name(Schedule schedule);

// The bits that hold 0 to `largest` (at least 1).
int bits_for(std::size_t largest);

}  // namespace zelka::fpga::rtl
