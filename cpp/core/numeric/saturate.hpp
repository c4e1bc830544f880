// Clipping of values to a precision's range, for every real element type.
//
// Bounds are taken inward: the largest value of the element type that is <= hi and the
// smallest that is >= lo, so a saturated value always lies inside the range.  NaN stays
// NaN; signed zeros are kept.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/numeric/precision.hpp"

namespace zelka::numeric {

template <typename T>
struct Bounds {
  T lo;
  T hi;
};

template <typename T>
Bounds<T> bounds_for(Range range);

// IEEE binary16 stored as its bit pattern.
Bounds<std::uint16_t> half_bounds_for(Range range);

template <typename T>
void saturate(const T* in, T* out, std::size_t n, Bounds<T> bounds);

void saturate_half(const std::uint16_t* in, std::uint16_t* out, std::size_t n,
                   Bounds<std::uint16_t> bounds);

// Value of a binary16 bit pattern (exact).
float half_to_float(std::uint16_t bits);

// Clip one value in place; used by the engine's kernels.
// Both comparisons are made for every value, so that loops using this vectorise.
template <typename T>
inline T clip(T x, Bounds<T> b) {
  const T below_hi = x > b.hi ? b.hi : x;
  return x < b.lo ? b.lo : below_hi;
}

}  // namespace zelka::numeric

namespace zelka::numeric {

// Element types by numpy's kind letter ('b' bool, 'i' signed, 'u' unsigned, 'f' float)
// and size in bytes.
struct ElementType {
  char kind;
  std::size_t itemsize;
};

// Whether saturate_elements handles this element type.
bool can_saturate(ElementType type);

// out[i] = in[i] clipped to `range` (bools are copied unchanged).
void saturate_elements(ElementType type, const void* in, void* out, std::size_t n, Range range);

}  // namespace zelka::numeric
