// The controller of a generated design's top module, for the design's schedule, and the
// signals the rest of the module takes from it: each unit's start, whether an operation's unit
// drives the read addresses of the memories it reads, and the banks of the Input ports'
// memories, which hold two steps' stimuli in the overlapped schedule.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/fpga/rtl_design.hpp"
#include "core/fpga/rtl_stages.hpp"

namespace zelka::fpga::rtl {

class Controller {
 public:
  // `layer_w`: the bits of a LIF layer's number; `steps_w`: of the count of steps.
  Controller(const snn::Network& network, const Design& design, int layer_w, int steps_w);

  // Its declarations and logic: `running`, `launch`, `clearing`, `steps`, `lif_layer`,
  // `busy`, `in_ready` and `done` driven.
  std::string text() const;

  // The start of operation k's unit; the LIF engine's, for any of the LIF operations.
  std::string start(std::size_t k) const;
  std::string lif_start() const;

  // Whether operation k's unit drives the read addresses (from its start's cycle on, from
  // registers).
  std::string reading(std::size_t k) const;

  // The condition that the count of steps has reached `step`: always from the first step on.
  std::string reached(int step) const;

  // The bank of Input port `port`'s value the host writes, operation k reads and the host
  // reads back (the last step's); empty in the sequential schedule (one bank).
  std::string written_bank(std::size_t port) const;
  std::string read_bank(std::size_t port, std::size_t k) const;
  std::string last_bank(std::size_t port) const;

 private:
  std::string sequential_text() const;
  std::string overlapped_text() const;
  std::string stage_text(std::size_t k) const;
  std::string input_text(std::size_t port) const;
  std::string finished(std::size_t k) const;

  const snn::Network& net_;
  const Design& d_;
  std::vector<Stage> stages_;
  int layer_w_, steps_w_, operation_w_;
};

// The unit an operation runs, as the top module names its instance: "dense{node}",
// "copy{node}" or "lif" (the engine).
std::string unit_name(const Design& design, const Operation& op);

}  // namespace zelka::fpga::rtl
