#include "host/simulation/slot_buffers.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "core/engine/spike_values.hpp"
#include "host/numpy.hpp"
#include "host/simulation/plan_values.hpp"
#include "host/worker_pool.hpp"

namespace zelka::host::simulation {
namespace {

// A per-step stimulus (steps, samples, *shape) read in place.
void point_at_steps(engine::Slot& slot, nb::handle array,
                    const std::vector<std::int64_t>& sample_ids,
                    std::vector<nb::object>& keep_alive) {
  const ArrayData data(array);
  for (std::size_t k = 1; k < sample_ids.size(); ++k)
    require(sample_ids[k] == sample_ids[0] + static_cast<std::int64_t>(k));
  const std::vector<std::int64_t> shape = shape_of(array);
  require(shape.size() >= 2 &&
          element_count(std::vector<std::int64_t>(shape.begin() + 2, shape.end())) == slot.size);
  keep_alive.push_back(data.owner());
  slot.sample_stride = slot.size;
  slot.step_stride = shape[1] * slot.size;
  slot.data = static_cast<char*>(data.data()) +
              sample_ids[0] * slot.size * static_cast<std::int64_t>(engine::itemsize(slot.dtype));
}

}  // namespace

SlotStarts::Start& SlotStarts::at(int slot) {
  if (starts_.size() <= static_cast<std::size_t>(slot)) starts_.resize(slot + 1);
  return starts_[slot];
}

void SlotStarts::set(int slot, nb::dict WorkingState::* dict, nb::handle key) {
  at(slot) = {dict, nb::borrow(key), getitem((*states_.front()).*dict, key), nb::object()};
}

void SlotStarts::set_shared(int slot, nb::handle value) {
  at(slot) = {nullptr, nb::object(), nb::borrow(value), nb::object()};
}

void SlotStarts::set_rows(int slot, nb::handle rows) {
  at(slot) = {nullptr, nb::object(), nb::object(), nb::borrow(rows)};
}

bool SlotStarts::has(int slot) const {
  if (static_cast<std::size_t>(slot) >= starts_.size()) return false;
  return starts_[slot].first.is_valid() || starts_[slot].rows.is_valid();
}

const nb::object& SlotStarts::first(int slot) const {
  static const nb::object none;
  return static_cast<std::size_t>(slot) < starts_.size() ? starts_[slot].first : none;
}

const nb::object& SlotStarts::rows(int slot) const {
  static const nb::object none;
  return static_cast<std::size_t>(slot) < starts_.size() ? starts_[slot].rows : none;
}

nb::object SlotStarts::value(int slot, std::size_t sample) const {
  const Start& s = starts_[slot];
  if (s.rows.is_valid()) return getitem(s.rows, nb::int_(sample));
  if (!s.dict) return s.first;
  return getitem((*states_[sample]).*s.dict, s.key);
}

bool SlotStarts::alias_in_every_sample(int a, int b) const {
  for (std::size_t k = 0; k < states_.size(); ++k)
    if (!value(a, k).is(value(b, k))) return false;
  return true;
}

bool SlotStarts::shared_by_every_sample(int slot) const {
  if (!has(slot) || rows(slot).is_valid()) return false;
  if (!starts_[slot].dict) return true;
  for (std::size_t k = 1; k < states_.size(); ++k)
    if (!value(slot, k).is(starts_[slot].first)) return false;
  return true;
}

namespace {

// engine::only_zeros_and_ones on up to `workers` threads for long arrays (a batch's stimuli
// for every step run to megabytes, which one core reads slower than the cache delivers):
// blocks taken from a common counter by the caller and the pool's helpers, the first block
// holding another value ending the scan.
bool only_zeros_and_ones(const float* values, std::int64_t n, std::int64_t workers) {
  constexpr std::int64_t block = 1 << 16;
  const std::int64_t blocks = (n + block - 1) / block;
  if (workers <= 1 || blocks < 2) return engine::only_zeros_and_ones(values, n);
  std::atomic<std::int64_t> next = 0;
  std::atomic<bool> other = false;
  const auto scan = [&] {
    for (std::int64_t first; !other.load(std::memory_order_relaxed) &&
                             (first = next.fetch_add(block, std::memory_order_relaxed)) < n;)
      if (!engine::only_zeros_and_ones(values + first, std::min(block, n - first)))
        other.store(true, std::memory_order_relaxed);
  };
  HelperRuns helpers = start_helpers(scan, std::min(workers, blocks) - 1);
  scan();
  helpers.finish([] {});
  return !other.load();
}

}  // namespace

bool holds_zeros_and_ones(const engine::PlanDraft& draft, const SlotStarts& starts, int slot,
                          const std::vector<StepStimulus>& step_inputs, std::int64_t workers) {
  const Numpy& np = Numpy::get();
  const auto zeros_and_ones = [&](nb::handle values) {
    if (const auto array = float_array(values); array && array->in_place())
      return only_zeros_and_ones(static_cast<const float*>(array->data),
                                 element_count(array->shape), workers);
    const ArrayData data(np.ascontiguousarray(values));
    return only_zeros_and_ones(static_cast<const float*>(data.data()),
                               data.bytes() / static_cast<std::int64_t>(sizeof(float)), workers);
  };
  const int step_input = draft.slots[slot].step_input;
  if (step_input >= 0) return zeros_and_ones(step_inputs[step_input].array);
  if (starts.rows(slot).is_valid()) return zeros_and_ones(starts.rows(slot));
  if (starts.shared_by_every_sample(slot)) return zeros_and_ones(starts.first(slot));
  for (std::size_t k = 0; k < starts.samples(); ++k)
    if (!zeros_and_ones(starts.value(slot, k))) return false;
  return true;
}

void bind_buffers(engine::PlanDraft& draft, const SlotStarts& starts,
                  const std::vector<StepStimulus>& step_inputs,
                  const std::vector<std::int64_t>& sample_ids,
                  std::vector<nb::object>& keep_alive) {
  const Numpy& np = Numpy::get();
  const std::int64_t batch = draft.plan.batch;
  const auto bytes_of = [&](const engine::Slot& slot) {
    return static_cast<std::size_t>(slot.size) * engine::itemsize(slot.dtype);
  };
  // The slots with values of their own share one block of storage, each part 64-byte
  // aligned.
  enum class Binding { steps, rows, own, shared };
  std::vector<Binding> bindings(draft.plan.slots.size());
  std::size_t own_bytes = 0;
  for (std::size_t i = 0; i < draft.plan.slots.size(); ++i) {
    const int index = static_cast<int>(i);
    const engine::SlotInfo& info = draft.slots[i];
    if (info.step_input >= 0)
      bindings[i] = Binding::steps;
    else if (info.written_by < 0 && starts.rows(index).is_valid())
      bindings[i] = Binding::rows;
    else if (info.written_by >= 0 || !starts.shared_by_every_sample(index))
      bindings[i] = Binding::own;
    else
      bindings[i] = Binding::shared;
    if (bindings[i] == Binding::own)
      own_bytes += (bytes_of(draft.plan.slots[i]) * batch + 63) / 64 * 64;
  }
  char* next = static_cast<char*>(draft.plan.owned.emplace_back(own_bytes).data());
  for (std::size_t i = 0; i < draft.plan.slots.size(); ++i) {
    const int index = static_cast<int>(i);
    engine::Slot& slot = draft.plan.slots[i];
    const engine::SlotInfo& info = draft.slots[i];
    const std::size_t bytes = bytes_of(slot);
    if (bindings[i] == Binding::steps) {
      point_at_steps(slot, step_inputs[info.step_input].array, sample_ids, keep_alive);
    } else if (bindings[i] == Binding::rows) {
      const ArrayData data(starts.rows(index));
      keep_alive.push_back(data.owner());
      slot.data = data.data();
    } else if (bindings[i] == Binding::own) {
      slot.data = next;
      next += (bytes * batch + 63) / 64 * 64;
      if (!starts.has(index) || bytes == 0) continue;
      for (std::int64_t b = 0; b < batch; ++b) {
        const ArrayData data(np.ascontiguousarray(starts.value(index, b)));
        std::memcpy(static_cast<char*>(slot.data) + b * bytes, data.data(), bytes);
      }
    } else {
      const nb::object& value = starts.first(index);
      const auto array = float_array(value);
      const ArrayData data(array && array->in_place() ? value : np.ascontiguousarray(value));
      keep_alive.push_back(data.owner());
      slot.data = data.data();
      slot.sample_stride = 0;
    }
  }
}

}  // namespace zelka::host::simulation
