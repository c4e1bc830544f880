// How many samples of a batch's native plan run together through all their steps: few
// enough that their working values stay in the core's cache from one step to the next.
#pragma once

#include <cstdint>

#include "core/engine/plan.hpp"

namespace zelka::host::cpu {

// The bytes one sample's values of one step take in the plan's slots (values shared by
// all samples, such as constants, are not counted).
std::int64_t bytes_per_sample(const engine::Plan& plan);

// The samples of one block: as many as fit in half of a core's second-level cache (the
// other half holds the weights' rows being read), at least `minimum_block_samples` so
// that each weight read serves several samples, and at most the whole batch.
std::int64_t samples_per_block(const engine::Plan& plan);

inline constexpr std::int64_t minimum_block_samples = 16;

}  // namespace zelka::host::cpu
