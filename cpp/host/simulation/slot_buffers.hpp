// The values a native plan's slots start from, and the buffers the slots are bound to.
#pragma once

#include <cstdint>
#include <vector>

#include "core/engine/plan_draft.hpp"
#include "host/simulation/setup.hpp"

namespace zelka::host::simulation {

// Per slot, where each planned sample's starting value is found, for the slots that have
// one (scratch slots have none): an entry of the sample's state (an activation or a
// membrane vector, for plans made after some steps), one object every sample shares (a
// stimulus of a single run), or the sample's row of an array (samples, *shape) (the
// stimuli of a batch planned from its first step).
class SlotStarts {
 public:
  explicit SlotStarts(const std::vector<WorkingState*>& states) : states_(states) {}

  // The slot starts from `dict`[key] of each sample's state.
  void set(int slot, nb::dict WorkingState::* dict, nb::handle key);
  // The slot starts from `value` in every sample.
  void set_shared(int slot, nb::handle value);
  // Sample k's slot starts from rows[k]; `rows` is C-contiguous.
  void set_rows(int slot, nb::handle rows);
  bool has(int slot) const;
  // Its starting value in the first sample, or null.
  const nb::object& first(int slot) const;
  nb::object value(int slot, std::size_t sample) const;
  std::size_t samples() const { return states_.size(); }
  // The array (samples, *shape) a slot's starts are the rows of, or null.
  const nb::object& rows(int slot) const;
  // The two slots start from one and the same object in every sample.
  bool alias_in_every_sample(int a, int b) const;
  // Every sample starts the slot from the first sample's very object.
  bool shared_by_every_sample(int slot) const;

 private:
  struct Start {
    nb::dict WorkingState::* dict = nullptr;
    nb::object key, first, rows;
  };
  Start& at(int slot);
  const std::vector<WorkingState*>& states_;
  std::vector<Start> starts_;
};

// Whether a float32 stimulus slot holds only zeros and ones: in every sample, and at every
// step when it is given per step (its array in `step_inputs`).  Long arrays are read on up to
// `workers` threads.
bool holds_zeros_and_ones(const engine::PlanDraft& draft, const SlotStarts& starts, int slot,
                          const std::vector<StepStimulus>& step_inputs, std::int64_t workers);

// Binds every slot of the draft to a buffer: written slots get storage of their own for
// every sample, starting from the values they hold now (zeros when they have none);
// constant ones point at the array they hold when every sample holds the same one, at the
// array of rows when they start from one, else get a copy per sample; per-step stimuli
// point at their array (steps, samples, *shape), moving by one step of it from one step to
// the next (the planned samples, `sample_ids`, must be consecutive samples of it).
// Arrays whose buffers the plan borrows are appended to `keep_alive`.
void bind_buffers(engine::PlanDraft& draft, const SlotStarts& starts,
                  const std::vector<StepStimulus>& step_inputs,
                  const std::vector<std::int64_t>& sample_ids, std::vector<nb::object>& keep_alive);

}  // namespace zelka::host::simulation
