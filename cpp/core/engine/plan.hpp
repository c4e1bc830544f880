// A graph resolved for the native step loop: value slots and a program of instructions in
// execution order.  Built once per call; nothing in it is looked up by name while running.
#pragma once

#include <cstdint>
#include <vector>

#include "core/engine/activity_count.hpp"
#include "core/engine/dtype.hpp"
#include "core/engine/storage.hpp"
#include "core/numeric/saturate.hpp"
#include "core/rules/lif_rule.hpp"

namespace zelka::engine {

// The current value of one activation, membrane vector or scratch input, for every sample
// of the run: per sample a dense, C-ordered block of `size` elements.  `data` points at the
// first sample's block (at step 0) in the plan's own storage or, for a caller's stimulus,
// in the caller's array; a sample's block lies `sample_stride` elements after the previous
// one (0: one block shared by all samples), and a stimulus given per step moves by
// `step_stride` elements from one step to the next.
struct Slot {
  DType dtype = DType::f32;
  std::int64_t size = 0;
  std::int64_t sample_stride = 0;
  std::int64_t step_stride = 0;
  void* data = nullptr;
};

// A precision's range in both engine types.
struct SaturateBounds {
  numeric::Bounds<float> f32{};
  numeric::Bounds<double> f64{};

  template <typename T>
  numeric::Bounds<T> of() const {
    if constexpr (sizeof(T) == 4)
      return f32;
    else
      return f64;
  }
};

// How a node's predecessors are combined into its input.
enum class CombineMode : std::uint8_t {
  copy,      // shapes differ and only the first counts: an exact copy of it
  sum,       // all of one shape: summed one after another in the promoted type, starting
             // from +0.0 (so a lone -0.0 becomes +0.0)
  add_into,  // shapes differ: the first, with each same-shaped one added in its type
};

struct CombineArgs {
  CombineMode mode = CombineMode::copy;
  std::vector<int> sources;
};

struct AffineArgs {
  int input = -1;                // slot holding the flattened input
  int converted_input = -1;      // scratch slot when the input must be widened to the product type
  int product_slot = -1;         // scratch slot for weight . input, column_stride(rows) long
  const void* weight = nullptr;  // [rows, cols], product type
  // [cols, rows] copy (finite weights only) for inputs that are spikes, or sums of spikes
  // (small counts), whose columns are added up instead of a dense product; or null.
  const void* weight_cols = nullptr;
  bool spike_input = false;    // the input is exactly 0 or 1 (float32): always sum its columns
  DType product = DType::f32;  // type of weight . input
  std::int64_t rows = 0, cols = 0;
  const void* bias = nullptr;  // [rows], result type
  DType result = DType::f32;
  SaturateBounds bounds;
  // Its only reader is a LIF that may add the bias and clip as it steps (LifArgs::sums_of),
  // leaving the output unwritten until the run stops (see let_lif_add_bias).
  bool bias_in_reader = false;
  // The LIF (index into Plan::lif) that writes the spikes it reads earlier in the step, and
  // which of its neurons fired as bits (FiredBits), whose columns it may sum; or -1.
  int bits_of = -1;
};

struct LifArgs {
  int input = -1;                // -1: the input is shorter than the membrane and adds nothing
  bool input_plus_zero = false;  // the input is a lone predecessor's value summed from +0.0
  int membrane = -1;
  int spikes = -1;
  std::int64_t neurons = 0;
  rules::LifReset reset = rules::LifReset::to_leak;
  rules::LifFire fire = rules::LifFire::at_or_above;
  // Per-neuron parameters as float64 values (one per neuron, scalars repeated), and as
  // float32 for float32 membranes (prepare_lif): the threshold rounded to the float32 that a
  // float32 potential passes exactly when it passes the float64 threshold, and (reset
  // "subtract", whose threshold the planner requires to be a float32 value) the threshold
  // itself as the amount taken off.  prepare_lif repeats
  // them for `tile` samples in a row, so that a small layer steps a group of samples in one
  // pass over contiguous neurons.
  std::vector<double> decay, v_leak, v_threshold;
  std::vector<float> decay32, v_leak32, v_threshold32, subtracted32;
  std::int64_t tile = 1;
  bool reset_in_f32 = true;  // v_leak * spikes is computed in float32
  bool finite_leak = true;   // every v_leak is finite, as a float32 value too (prepare_lif)
  // finite_leak and no v_leak is -0.0 as a float32 value: float32 membranes may reset by a
  // blend (see the one-pass step in lif.cpp)
  bool reset_by_blend = false;
  SaturateBounds bounds;
  int counter = -1;          // index into Plan::spike_totals
  int sums_of = -1;          // the Affine (index into Plan::affine) whose bias it may add, or -1
  bool writes_bits = false;  // an Affine reads which neurons fired as bits (AffineArgs::bits_of)
};

struct Layer;  // core/engine/layer.hpp

// A computed graph's layer with a kernel of its own (convolution, pooling, normalisation,
// activation), run on every sample.
struct LayerArgs {
  const Layer* layer = nullptr;  // owned by the planner's caller, alive for the plan's life
  int input = -1;                // slot holding the combined input
  int converted_input = -1;      // scratch slot when the input must be widened to `type`
  DType type = DType::f32;       // the type it computes in: its output's
  // The input holds spikes (exactly 0 or 1, float32) and the layer has a spike kernel: for
  // a convolution, the kernel slices of the inputs that fired are added up; for max pooling,
  // a window's value is whether any of its inputs fired.
  bool spike_input = false;
  SaturateBounds bounds;
};

// mark: does nothing; it gives the time of a node whose work is only gathering its input.
enum class OpKind : std::uint8_t { combine, copy, affine, lif, layer, mark };

struct Instruction {
  OpKind kind = OpKind::copy;
  int node = -1;  // index into Plan::node_ns of the node whose compute this is, or -1
  // Same inputs every step: computed at a run's first step only, and once more at step 1
  // when `recomputed_at_step_one` (see mark_recomputed_at_step_one).
  bool is_static = false;
  bool recomputed_at_step_one = false;
  int destination = -1;
  int source = -1;  // source of copy
  CombineArgs combine;
  int affine = -1;  // index into Plan::affine
  int lif = -1;     // index into Plan::lif
  int layer = -1;   // index into Plan::layers
};

// A LIF node whose values are kept for every step, for the sample kept in row `row`
// (Plan::sample_rows) at out[(step * rows + row) * neurons + i]: its spikes (a byte, 1
// where neuron i fired) or its membrane potentials (as float64, which holds either type).
struct Recording {
  enum class Kind : std::uint8_t { spikes, membrane };
  Kind kind = Kind::spikes;
  int slot = -1;  // the node's spike slot, or its membrane slot
  void* out = nullptr;
  std::int64_t neurons = 0;
};

struct Plan {
  std::int64_t batch = 1;  // samples
  std::vector<Slot> slots;
  std::vector<Instruction> program;
  std::vector<AffineArgs> affine;
  std::vector<LifArgs> lif;
  std::vector<LayerArgs> layers;
  std::vector<std::int64_t> spike_totals;  // per sample, then per LIF counter
  std::vector<std::int64_t> node_ns;  // per timed node: monotonic-clock nanoseconds of its compute
  std::vector<Recording> recordings;
  std::int64_t recorded_steps = 0;        // steps the recordings hold room for
  std::int64_t recorded_rows = 0;         // samples the recordings hold room for
  std::vector<std::int64_t> sample_rows;  // per sample: its row in the recordings
  std::vector<ActivityCount> activity;    // counted layers (activity_count.hpp)
  std::vector<SpikeCheck> spike_checks;   // their stimuli taken for spikes
  // Buffers the plan owns: the slots' values (one block for them all), column copies of
  // weights (AffineArgs::weight_cols), biases.
  std::vector<Storage> owned;

  std::int64_t counters() const { return static_cast<std::int64_t>(lif.size()); }
};

// One sample's values at one step: where each slot's block lies.
struct Frame {
  std::vector<Slot>& slots;
  std::int64_t sample = 0;
  std::int64_t step = 0;

  template <typename T>
  T* at(int slot) const {
    const Slot& s = slots[slot];
    const std::int64_t offset = sample * s.sample_stride + step * s.step_stride;
    return static_cast<T*>(s.data) + offset;
  }
  void* bytes(int slot) const {
    const Slot& s = slots[slot];
    const std::int64_t offset = (sample * s.sample_stride + step * s.step_stride) *
                                static_cast<std::int64_t>(itemsize(s.dtype));
    return static_cast<char*>(s.data) + offset;
  }
};

}  // namespace zelka::engine
