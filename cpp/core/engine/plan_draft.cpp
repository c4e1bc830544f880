#include "core/engine/plan_draft.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <type_traits>

#include "core/engine/layer.hpp"
#include "core/engine/matvec.hpp"

namespace zelka::engine {
namespace {

std::int64_t element_count(const Shape& shape) {
  return std::accumulate(shape.begin(), shape.end(), std::int64_t{1}, std::multiplies<>());
}

void renumber_writers(PlanDraft& draft) {
  for (SlotInfo& slot : draft.slots) slot.written_by = -1;
  for (std::size_t i = 0; i < draft.instrs.size(); ++i)
    for (int w : draft.instrs[i].writes) draft.slots[w].written_by = static_cast<int>(i);
}

// Whether no value is an infinity or NaN (exponent bits all set), read as bits: no
// floating-point operation, no status flag, and no early exit, so that the loop vectorises.
template <typename T>
bool all_finite(const void* values, std::int64_t count) {
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  constexpr Bits exponent = sizeof(T) == 4 ? Bits(0x7f800000u) : Bits(0x7ff0000000000000u);
  const Bits* v = static_cast<const Bits*>(values);
  Bits nonfinite = 0;  // (an OR of integers vectorises where an AND of bools does not)
  for (std::int64_t i = 0; i < count; ++i) nonfinite |= Bits((v[i] & exponent) == exponent);
  return nonfinite == 0;
}

// The column-major copy the column sums read: [cols, column_stride(rows)], padded with
// zeros.  Copied in tiles, so that both the rows read and the columns written stay in
// cache for large weights.
template <typename T>
Storage transposed(const void* matrix, std::int64_t rows, std::int64_t cols) {
  constexpr std::int64_t tile = 32;
  const std::int64_t stride = column_stride(rows);
  Storage out(static_cast<std::size_t>(stride * cols) * sizeof(T), Storage::Contents::unset);
  const T* in = static_cast<const T*>(matrix);
  T* t = static_cast<T*>(out.data());
  for (std::int64_t r0 = 0; r0 < rows; r0 += tile)
    for (std::int64_t c0 = 0; c0 < cols; c0 += tile)
      for (std::int64_t c = c0; c < std::min(c0 + tile, cols); ++c)
        for (std::int64_t r = r0; r < std::min(r0 + tile, rows); ++r)
          t[c * stride + r] = in[r * cols + c];
  for (std::int64_t c = 0; c < cols; ++c)
    std::fill(t + c * stride + rows, t + (c + 1) * stride, T(0));
  return out;
}

}  // namespace

void PlanDraft::reserve(std::size_t nodes) {
  plan.slots.reserve(4 * nodes);
  slots.reserve(4 * nodes);
  plan.program.reserve(2 * nodes);
  instrs.reserve(2 * nodes);
  plan.affine.reserve(nodes);
  plan.lif.reserve(nodes);
  plan.layers.reserve(nodes);
  plan.owned.reserve(2 * nodes);
}

int PlanDraft::add_slot(DType dtype, Shape shape) {
  Slot slot;
  slot.dtype = dtype;
  slot.size = element_count(shape);
  slot.sample_stride = slot.size;
  plan.slots.push_back(std::move(slot));
  slots.push_back({std::move(shape)});
  return static_cast<int>(plan.slots.size()) - 1;
}

bool PlanDraft::emit(Instruction ins, std::vector<int> reads, std::vector<int> writes) {
  for (int w : writes)
    if (slots[w].written_by >= 0) return false;
  const int index = static_cast<int>(plan.program.size());
  for (int w : writes) slots[w].written_by = index;
  plan.program.push_back(std::move(ins));
  instrs.push_back({std::move(reads), std::move(writes)});
  return true;
}

void drop_constant_output_copies(PlanDraft& draft) {
  std::vector<bool> dropped(draft.instrs.size(), false);
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t i = 0; i < draft.instrs.size(); ++i) {
      if (!draft.instrs[i].copies_an_alias || dropped[i]) continue;
      const Instruction& ins = draft.plan.program[i];
      const SlotInfo& source = draft.slots[ins.source];
      if (source.written_by >= 0 || source.step_input >= 0) continue;
      dropped[i] = true;
      draft.slots[ins.destination].written_by = -1;
      changed = true;
    }
  }
  std::vector<Instruction> program;
  std::vector<InstrInfo> instrs;
  for (std::size_t i = 0; i < draft.instrs.size(); ++i) {
    if (dropped[i]) continue;
    program.push_back(std::move(draft.plan.program[i]));
    instrs.push_back(std::move(draft.instrs[i]));
  }
  draft.plan.program = std::move(program);
  draft.instrs = std::move(instrs);
  renumber_writers(draft);
}

void mark_static_instructions(PlanDraft& draft) {
  std::vector<bool> dynamic(draft.slots.size(), false);
  for (std::size_t i = 0; i < draft.plan.program.size(); ++i) {
    Instruction& ins = draft.plan.program[i];
    bool is_dynamic = ins.kind == OpKind::lif;
    for (int src : draft.instrs[i].reads) {
      const int writer = draft.slots[src].written_by;
      if (writer >= 0 && (writer >= static_cast<int>(i) || dynamic[src])) is_dynamic = true;
      if (draft.slots[src].step_input >= 0) is_dynamic = true;
    }
    ins.is_static = !is_dynamic;
    for (int w : draft.instrs[i].writes) dynamic[w] = is_dynamic;
  }
}

std::vector<Held> held_values(const PlanDraft& draft) {
  std::vector<Held> held(draft.slots.size(), Held::other);
  for (const LifArgs& l : draft.plan.lif) held[l.spikes] = Held::spikes;
  for (std::size_t i = 0; i < held.size(); ++i)
    if (draft.slots[i].written_by < 0 && draft.slots[i].zeros_and_ones) held[i] = Held::spikes;
  for (bool changed = true; changed;) {
    changed = false;
    for (const Instruction& ins : draft.plan.program) {
      if (ins.destination < 0 || draft.dtype_of(ins.destination) != DType::f32) continue;
      Held value = Held::other;
      if (ins.kind == OpKind::copy) value = held[ins.source];
      // the largest of a window of spikes is a spike
      if (ins.kind == OpKind::layer &&
          draft.plan.layers[ins.layer].layer->op == LayerOp::max_pool &&
          held[draft.plan.layers[ins.layer].input] == Held::spikes)
        value = Held::spikes;
      if (ins.kind == OpKind::combine) {
        bool all_counted = true;
        for (int src : ins.combine.sources) all_counted = all_counted && held[src] != Held::other;
        if (all_counted)
          value = ins.combine.sources.size() == 1 ? held[ins.combine.sources[0]] : Held::counts;
      }
      if (value != Held::other && held[ins.destination] != value &&
          held[ins.destination] != Held::counts) {
        held[ins.destination] = value;
        changed = true;
      }
    }
  }
  return held;
}

void use_spike_kernels(PlanDraft& draft) {
  const std::vector<Held> held = held_values(draft);
  for (LayerArgs& a : draft.plan.layers)
    a.spike_input = held[a.input] == Held::spikes && a.layer->takes_spikes(a.type);
}

void sum_columns_where_sparse(PlanDraft& draft) {
  const std::vector<Held> held = held_values(draft);
  for (const Instruction& ins : draft.plan.program) {
    if (ins.kind != OpKind::affine) continue;
    AffineArgs& a = draft.plan.affine[ins.affine];
    const Held input = held[a.input];
    if (input == Held::other || (input == Held::counts && ins.is_static)) continue;
    const std::int64_t count = a.rows * a.cols;
    const bool f32 = a.product == DType::f32;
    if (!(f32 ? all_finite<float>(a.weight, count) : all_finite<double>(a.weight, count))) continue;
    draft.plan.owned.push_back(f32 ? transposed<float>(a.weight, a.rows, a.cols)
                                   : transposed<double>(a.weight, a.rows, a.cols));
    a.weight_cols = draft.plan.owned.back().data();
    a.spike_input = input == Held::spikes;
  }
}

}  // namespace zelka::engine
