// The operations of an overlapped design as stages: which memories each reads, whose values
// those are, which operations read its own value, and which it never runs beside (the other
// LIF layers, which share the engine, and the other readers of a memory it reads, which has
// one read port).  The top module's controller and the cycle model both follow these.
#pragma once

#include <cstddef>
#include <vector>

#include "core/fpga/rtl_design.hpp"

namespace zelka::fpga::rtl {

struct Stage {
  std::size_t storage;                   // the memory it writes
  std::vector<std::size_t> reads;        // the memories it reads, each once
  std::vector<std::size_t> producers;    // the operations writing those (not the host's)
  std::vector<std::size_t> input_ports;  // the Input ports among those, as design.inputs
  std::vector<std::size_t> consumers;    // the operations reading its memory
  std::vector<std::size_t> conflicts;    // the operations it never runs beside
};

// A stage per operation of `design`, in its order.
std::vector<Stage> stages_of(const Design& design);

// The operations reading Input port `port`'s memory, in order.
std::vector<std::size_t> input_readers(const Design& design, const std::vector<Stage>& stages,
                                       std::size_t port);

// The unit an operation runs: its node, its input and the memory it writes.
std::size_t node_of(const Design& design, const Operation& op);
const UnitInput& input_of(const Design& design, const Operation& op);
std::size_t storage_of(const Design& design, const Operation& op);

}  // namespace zelka::fpga::rtl
