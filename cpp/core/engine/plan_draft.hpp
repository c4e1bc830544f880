// A plan under construction and the passes that finish it.  The host's planner reads the
// graph and the values of a call and builds a PlanDraft node by node: slots with their
// shapes, and a program in execution order whose every instruction lists the slots it reads
// and writes.  The passes below then rewrite and annotate that program; they look at no
// host value, only at what the draft records.
#pragma once

#include <cstdint>
#include <vector>

#include "core/engine/plan.hpp"

namespace zelka::engine {

using Shape = std::vector<std::int64_t>;

// What planning knows of a slot beyond what the step loop needs (Plan::slots).
struct SlotInfo {
  Shape shape;
  int written_by = -1;  // the one instruction writing it, or -1: constant during the run
  int step_input = -1;  // a stimulus given per step: its index among the run's, else -1
  // A float32 stimulus (constant, or given per step) that holds only zeros and ones, in
  // every sample and at every step.  Set by the host once the copies are dropped.
  bool zeros_and_ones = false;
};

struct InstrInfo {
  std::vector<int> reads, writes;
  // An Output's copy of its predecessor whose source and destination start out as one and
  // the same host object in every sample.
  bool copies_an_alias = false;
};

class PlanDraft {
 public:
  Plan plan;
  std::vector<SlotInfo> slots;    // one per plan.slots
  std::vector<InstrInfo> instrs;  // one per plan.program

  // Room for the slots and instructions of about `nodes` nodes, taken at once: a plan is
  // drafted in every call's fixed cost, where growing each vector step by step shows.
  void reserve(std::size_t nodes);

  // A slot of one block of `shape` per sample (storage is bound later).
  int add_slot(DType dtype, Shape shape);

  // Appends an instruction.  Returns false, appending nothing, when it would write a slot
  // that another instruction writes already (a step must write each value once).
  bool emit(Instruction ins, std::vector<int> reads, std::vector<int> writes);

  DType dtype_of(int slot) const { return plan.slots[slot].dtype; }
  const Shape& shape_of(int slot) const { return slots[slot].shape; }
};

// Drops the copies into Outputs whose predecessor never changes during the run and is the
// very object the Output holds already (so an Output of a caller's stimulus keeps the
// caller's array), repeating until none is left; then renumbers the writers.  Assumes:
// reads, writes and copies_an_alias are complete, and written_by agrees with writes.
void drop_constant_output_copies(PlanDraft& draft);

// Marks the instructions whose result is the same every step: those that keep no state
// (not LIF) and read only slots that are constant, or written earlier in the step by a
// static instruction.  The step loop runs them at its first step only (see
// mark_recomputed_at_step_one).  Assumes: the program is in execution order, written_by is current,
// step_input marks the stimuli that change every step.
void mark_static_instructions(PlanDraft& draft);

// What a float32 slot is known to hold at every step: spikes (exactly 0 or 1: LIF outputs,
// stimuli of zeros and ones, plain copies of them) or spike counts (sums of spikes and
// counts: small non-negative integers).
enum class Held : std::uint8_t { other, spikes, counts };

// Per slot, by propagating from LIF outputs and zeros_and_ones stimuli through copies and
// sums.  Assumes: zeros_and_ones is set for the unwritten stimuli it applies to.
std::vector<Held> held_values(const PlanDraft& draft);

// Sets spike_input on the layers whose input holds spikes and that have a spike kernel for
// their type.  Assumes: zeros_and_ones is set as for held_values.
void use_spike_kernels(PlanDraft& draft);

// Gives Affine layers with finite weights a column-major copy of their weight when their
// input holds spikes (always summed by columns) or spike counts that change from step to
// step (summed by columns whenever few are nonzero).  The copies live in the plan.
// Assumes: static instructions are marked, each AffineArgs' weight points at its
// C-ordered [rows, cols] weight in the product type, alive for the plan's life.
void sum_columns_where_sparse(PlanDraft& draft);

// Marks the static instructions a run from step 0 computes again at step 1: the Affine
// layers that sum columns (which step 0 takes row by row) and every static instruction that
// reads what one of the marked writes.  Assumes: static instructions are marked and the
// column-major copies made.
void mark_recomputed_at_step_one(PlanDraft& draft);

// Pairs each float32 Affine that runs every step, whose rows fill whole vectors of 16 and
// whose output only a LIF with a float32 membrane reads, with that LIF: the LIF may then add
// the Affine's bias and clip its sums as it steps, which spares a pass over them and their
// store (AffineArgs::bias_in_reader, LifArgs::sums_of).  Assumes: the program is in
// execution order, is_static is set, reads are complete.
void let_lif_add_bias(PlanDraft& draft);

// Pairs each Affine that sums the columns of the spikes a LIF writes earlier in the step (float32,
// layers of at most 128 rows, whole vectors of 16 inputs) with that LIF, which then also writes
// which of its neurons fired as bits, so that the Affine need not find them again
// (AffineArgs::bits_of, LifArgs::writes_bits).  Assumes: the program is in execution order,
// written_by is current, sum_columns_where_sparse has run.
void read_spikes_as_bits(PlanDraft& draft);

}  // namespace zelka::engine
