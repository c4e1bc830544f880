// The values a native plan's slots start from, and the buffers the slots are bound to.
#pragma once

#include <cstdint>
#include <vector>

#include "core/engine/plan_draft.hpp"
#include "host/simulation/setup.hpp"

namespace zelka::host::simulation {

// Per slot, the entry of each planned sample's state that holds its starting value (an
// activation or a membrane vector), for the slots that have one; scratch slots have none.
class SlotStarts {
 public:
  explicit SlotStarts(const std::vector<WorkingState*>& states) : states_(states) {}

  // The slot starts from `dict`[key] of each sample's state.
  void set(int slot, nb::dict WorkingState::* dict, nb::handle key);
  bool has(int slot) const;
  // Its starting value in the first sample, or null.
  const nb::object& first(int slot) const;
  nb::object value(int slot, std::size_t sample) const;
  std::size_t samples() const { return states_.size(); }
  // The two slots start from one and the same object in every sample.
  bool alias_in_every_sample(int a, int b) const;
  // Every sample starts the slot from the first sample's very object.
  bool shared_by_every_sample(int slot) const;

 private:
  struct Start {
    nb::dict WorkingState::* dict = nullptr;
    nb::object key, first;
  };
  const std::vector<WorkingState*>& states_;
  std::vector<Start> starts_;
};

// Whether a float32 stimulus slot holds only zeros and ones: in every sample, and at every
// step when it is given per step (its array in `step_inputs`).
bool holds_zeros_and_ones(const engine::PlanDraft& draft, const SlotStarts& starts, int slot,
                          const std::vector<StepStimulus>& step_inputs);

// Binds every slot of the draft to a buffer: written slots get storage of their own for
// every sample, starting from the values they hold now; constant ones point at the array
// they hold when every sample holds the same one, else get a copy per sample; per-step
// stimuli point at their array (steps, samples, *shape), moving by one step of it from one
// step to the next (the planned samples, `sample_ids`, must be consecutive samples of it).
// Arrays whose buffers the plan borrows are appended to `keep_alive`.
void bind_buffers(engine::PlanDraft& draft, const SlotStarts& starts,
                  const std::vector<StepStimulus>& step_inputs,
                  const std::vector<std::int64_t>& sample_ids, std::vector<nb::object>& keep_alive);

}  // namespace zelka::host::simulation
