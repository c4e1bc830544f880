// Whether values are spikes: every one exactly 0 or 1.
#pragma once

#include <cstdint>

namespace zelka::engine {

bool only_zeros_and_ones(const float* values, std::int64_t n);

}  // namespace zelka::engine
