// SimulationResult: what the CPU backend's simulate returns.
#pragma once

#include "host/record.hpp"

namespace zelka::host::cpu {

extern const RecordLayout simulation_result_layout;

struct SimulationResult : Record {
  SimulationResult() : Record(&simulation_result_layout) {}
};

}  // namespace zelka::host::cpu
