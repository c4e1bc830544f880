#include "core/engine/plan_draft.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>

#include "core/engine/layer.hpp"
#include "core/engine/matvec.hpp"
#include "core/engine/transpose.hpp"

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

// The column-major copy the column sums read, [cols, column_stride(rows)] padded with zeros,
// or an empty storage where a weight is not finite (an infinite weight times a 0 input would
// have to give NaN, which a column sum leaves out).
template <typename T>
Storage column_major_if_finite(const void* matrix, std::int64_t rows, std::int64_t cols) {
  const std::int64_t stride = column_stride(rows);
  Storage out(static_cast<std::size_t>(stride * cols) * sizeof(T), Storage::Contents::unset);
  T* t = static_cast<T*>(out.data());
  if (!transpose_finite(static_cast<const T*>(matrix), rows, cols, t, stride)) return Storage();
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
    Storage columns = a.product == DType::f32
                          ? column_major_if_finite<float>(a.weight, a.rows, a.cols)
                          : column_major_if_finite<double>(a.weight, a.rows, a.cols);
    if (!columns.data()) continue;
    draft.plan.owned.push_back(std::move(columns));
    a.weight_cols = draft.plan.owned.back().data();
    a.spike_input = input == Held::spikes;
  }
}

void mark_recomputed_at_step_one(PlanDraft& draft) {
  std::vector<bool> recomputed(draft.slots.size(), false);
  for (std::size_t i = 0; i < draft.plan.program.size(); ++i) {
    Instruction& ins = draft.plan.program[i];
    if (!ins.is_static) continue;
    bool again = ins.kind == OpKind::affine && draft.plan.affine[ins.affine].weight_cols;
    for (int src : draft.instrs[i].reads) again = again || recomputed[src];
    ins.recomputed_at_step_one = again;
    for (int w : draft.instrs[i].writes) recomputed[w] = again;
  }
}

void let_lif_add_bias(PlanDraft& draft) {
  std::vector<std::vector<std::size_t>> readers(draft.slots.size());
  for (std::size_t i = 0; i < draft.instrs.size(); ++i)
    for (int slot : draft.instrs[i].reads) readers[slot].push_back(i);
  Plan& plan = draft.plan;
  for (std::size_t i = 0; i < plan.program.size(); ++i) {
    const Instruction& ins = plan.program[i];
    if (ins.kind != OpKind::affine || ins.is_static) continue;
    AffineArgs& a = plan.affine[ins.affine];
    if (a.product != DType::f32 || a.result != DType::f32 || a.rows % 16 != 0) continue;
    const std::vector<std::size_t>& read_by = readers[ins.destination];
    if (read_by.size() != 1 || read_by[0] <= i) continue;
    const Instruction& reader = plan.program[read_by[0]];
    if (reader.kind != OpKind::lif) continue;
    LifArgs& lif = plan.lif[reader.lif];
    if (lif.input != ins.destination || draft.dtype_of(lif.membrane) != DType::f32) continue;
    a.bias_in_reader = true;
    lif.sums_of = ins.affine;
  }
}

void read_spikes_as_bits(PlanDraft& draft) {
  Plan& plan = draft.plan;
  for (std::size_t i = 0; i < plan.program.size(); ++i) {
    const Instruction& ins = plan.program[i];
    if (ins.kind != OpKind::affine) continue;
    AffineArgs& a = plan.affine[ins.affine];
    if (!a.spike_input || !a.weight_cols || a.product != DType::f32 || a.cols % 16 != 0 ||
        column_stride(a.rows) > 128)
      continue;
    const int writer = draft.slots[a.input].written_by;
    if (writer < 0 || static_cast<std::size_t>(writer) >= i) continue;
    const Instruction& lif = plan.program[writer];
    if (lif.kind != OpKind::lif || plan.lif[lif.lif].spikes != a.input) continue;
    a.bits_of = lif.lif;
    plan.lif[lif.lif].writes_bits = true;
  }
}

}  // namespace zelka::engine
