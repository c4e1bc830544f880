#include "core/convert/lif_constants.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/rules/lif_rule.hpp"

namespace zelka::convert {
namespace {

// Positive float32 values ordered as their bit patterns, which order them as numbers.
float from_bits(std::uint32_t bits) {
  return std::bit_cast<float>(bits);
}
std::uint32_t to_bits(float x) {
  return std::bit_cast<std::uint32_t>(x);
}

// The first bit pattern in [low, high] whose time constant has a decay at least (or, when
// `above` is set, above) `beta`; high + 1 when there is none.  The decay never decreases as
// tau grows: 1/tau falls, 1 - 1/tau rises, and rounding keeps both orders.
std::uint32_t first_reaching(float beta, bool above, std::uint32_t low, std::uint32_t high) {
  std::uint64_t lo = low, hi = std::uint64_t{high} + 1;
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    const float decay = simulator_decay(from_bits(static_cast<std::uint32_t>(mid)));
    if (above ? decay > beta : decay >= beta)
      hi = mid;
    else
      lo = mid + 1;
  }
  return static_cast<std::uint32_t>(lo);
}

}  // namespace

float simulator_decay(float tau) {
  return rules::lif_decay(1.0f, tau);
}

std::optional<float> time_constant_for_decay(float beta) {
  if (!(beta >= 0.0f && beta <= 1.0f)) return std::nullopt;
  if (beta == 1.0f) return std::numeric_limits<float>::infinity();  // no leak at all
  // The decays of tau in [1, infinity] run from 0 to 1; the taus that give `beta` are the
  // run of bit patterns from the first reaching it to the last not passing it.
  const std::uint32_t low = to_bits(1.0f);
  const std::uint32_t high = to_bits(std::numeric_limits<float>::infinity());
  const std::uint32_t first = first_reaching(beta, false, low, high);
  const std::uint32_t past = first_reaching(beta, true, low, high);
  if (first >= past) return std::nullopt;
  // The pattern of the run with the most trailing zero bits.  Above the highest bit in which
  // the run's ends differ they agree; the first end is the answer when it is zero from that
  // bit down, else the common bits followed by that bit set and zeros.
  const std::uint32_t last = past - 1;
  if (first == last) return from_bits(first);
  const int differing = std::bit_width(first ^ last) - 1;
  const std::uint32_t from_differing_down = (std::uint32_t{2} << differing) - 1;
  if ((first & from_differing_down) == 0) return from_bits(first);
  return from_bits(last >> differing << differing);
}

float inclusive_threshold(float strict_threshold) {
  return std::nextafter(strict_threshold, std::numeric_limits<float>::infinity());
}

}  // namespace zelka::convert
