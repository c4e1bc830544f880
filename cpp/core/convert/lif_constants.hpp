// The constants of a LIF node that make the simulator's neurons follow a leaky neuron whose
// membrane decays by a factor `beta` per step and that fires where the membrane exceeds a
// threshold (strictly), all in float32.
#pragma once

#include <optional>

namespace zelka::convert {

// The simulator's decay for a float32 time constant: 1 - 1/tau, each operation rounded to
// float32, as numpy computes it for a float32 `tau` array.
float simulator_decay(float tau);

// A float32 time constant whose simulator_decay equals `beta`: of all that do, the one with the
// fewest significant bits (10 for the float32 0.9, where 9.999998 would do as well); none when
// no float32 has that decay (a NaN beta, or one below 0.5 that 1 - 1/tau cannot reach in
// float32).  1 for beta 0 and infinity for beta 1.
std::optional<float> time_constant_for_decay(float beta);

// The least float32 at or above which a float32 exceeds `threshold`: the next float32 above
// it (a NaN or +infinity stays as it is).  The simulator fires at `membrane >= threshold`.
float inclusive_threshold(float strict_threshold);

}  // namespace zelka::convert
