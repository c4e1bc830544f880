// The records of batched simulation: PerStep (stimuli that change every step) and
// BatchSimulationResult.
#pragma once

#include "host/record.hpp"

namespace zelka::host::cpu {

extern const RecordLayout per_step_layout;
extern const RecordLayout batch_result_layout;

struct PerStep : Record {
  PerStep() : Record(&per_step_layout) {}
};

struct BatchSimulationResult : Record {
  BatchSimulationResult() : Record(&batch_result_layout) {}
};

}  // namespace zelka::host::cpu
