#include "core/numeric/saturate.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace zelka::numeric {

template <typename T>
Bounds<T> bounds_for(Range range) {
  if constexpr (std::is_floating_point_v<T>) {
    T hi = static_cast<T>(range.hi);
    if (static_cast<long double>(hi) > static_cast<long double>(range.hi))
      hi = std::nextafter(hi, -std::numeric_limits<T>::infinity());
    T lo = static_cast<T>(range.lo);
    if (static_cast<long double>(lo) < static_cast<long double>(range.lo))
      lo = std::nextafter(lo, std::numeric_limits<T>::infinity());
    return {lo, hi};
  } else {
    const long double type_lo = std::numeric_limits<T>::lowest();
    const long double type_hi = std::numeric_limits<T>::max();
    long double lo = std::ceil(static_cast<long double>(range.lo));
    long double hi = std::floor(static_cast<long double>(range.hi));
    if (lo < type_lo) lo = type_lo;
    if (hi > type_hi) hi = type_hi;
    if (lo > type_hi) lo = type_hi;
    if (hi < type_lo) hi = type_lo;
    return {static_cast<T>(lo), static_cast<T>(hi)};
  }
}

float half_to_float(std::uint16_t bits) {
  const int sign = bits >> 15;
  const int exponent = (bits >> 10) & 0x1f;
  const int mantissa = bits & 0x3ff;
  float magnitude;
  if (exponent == 0)
    magnitude = std::ldexp(static_cast<float>(mantissa), -24);
  else if (exponent == 31)
    magnitude =
        mantissa ? std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::infinity();
  else
    magnitude = std::ldexp(static_cast<float>(mantissa | 0x400), exponent - 25);
  return sign ? -magnitude : magnitude;
}

namespace {

// Largest finite-or-infinite binary16 pattern whose non-negative value is <= limit.
std::uint16_t largest_half_at_most(double limit) {
  std::uint16_t low = 0, high = 0x7c00;  // +0 .. +inf; values increase with the pattern
  while (low < high) {
    std::uint16_t mid = static_cast<std::uint16_t>((low + high + 1) / 2);
    if (half_to_float(mid) <= limit)
      low = mid;
    else
      high = static_cast<std::uint16_t>(mid - 1);
  }
  return low;
}

}  // namespace

Bounds<std::uint16_t> half_bounds_for(Range range) {
  // Ranges of precisions satisfy lo < 0 <= hi.
  return {static_cast<std::uint16_t>(0x8000 | largest_half_at_most(-range.lo)),
          largest_half_at_most(range.hi)};
}

template <typename T>
void saturate(const T* in, T* out, std::size_t n, Bounds<T> bounds) {
  for (std::size_t i = 0; i < n; ++i) out[i] = clip(in[i], bounds);
}

void saturate_half(const std::uint16_t* in, std::uint16_t* out, std::size_t n,
                   Bounds<std::uint16_t> bounds) {
  const float lo = half_to_float(bounds.lo), hi = half_to_float(bounds.hi);
  for (std::size_t i = 0; i < n; ++i) {
    const float x = half_to_float(in[i]);
    out[i] = x < lo ? bounds.lo : (x > hi ? bounds.hi : in[i]);
  }
}

#define ZELKA_SATURATE_TYPE(T)             \
  template Bounds<T> bounds_for<T>(Range); \
  template void saturate<T>(const T*, T*, std::size_t, Bounds<T>);

ZELKA_SATURATE_TYPE(float)
ZELKA_SATURATE_TYPE(double)
ZELKA_SATURATE_TYPE(long double)
ZELKA_SATURATE_TYPE(std::int8_t)
ZELKA_SATURATE_TYPE(std::int16_t)
ZELKA_SATURATE_TYPE(std::int32_t)
ZELKA_SATURATE_TYPE(std::int64_t)
ZELKA_SATURATE_TYPE(std::uint8_t)
ZELKA_SATURATE_TYPE(std::uint16_t)
ZELKA_SATURATE_TYPE(std::uint32_t)
ZELKA_SATURATE_TYPE(std::uint64_t)

#undef ZELKA_SATURATE_TYPE

}  // namespace zelka::numeric

namespace zelka::numeric {
namespace {

template <typename T>
void saturate_as(const void* in, void* out, std::size_t n, Range range) {
  saturate(static_cast<const T*>(in), static_cast<T*>(out), n, bounds_for<T>(range));
}

}  // namespace

bool can_saturate(ElementType t) {
  switch (t.kind) {
    case 'b':
      return t.itemsize == 1;
    case 'i':
    case 'u':
      return t.itemsize == 1 || t.itemsize == 2 || t.itemsize == 4 || t.itemsize == 8;
    case 'f':
      return t.itemsize == 2 || t.itemsize == 4 || t.itemsize == 8 ||
             t.itemsize == sizeof(long double);
    default:
      return false;
  }
}

void saturate_elements(ElementType t, const void* in, void* out, std::size_t n, Range range) {
  if (t.kind == 'b') {
    std::memcpy(out, in, n);
  } else if (t.kind == 'i') {
    switch (t.itemsize) {
      case 1:
        return saturate_as<std::int8_t>(in, out, n, range);
      case 2:
        return saturate_as<std::int16_t>(in, out, n, range);
      case 4:
        return saturate_as<std::int32_t>(in, out, n, range);
      default:
        return saturate_as<std::int64_t>(in, out, n, range);
    }
  } else if (t.kind == 'u') {
    switch (t.itemsize) {
      case 1:
        return saturate_as<std::uint8_t>(in, out, n, range);
      case 2:
        return saturate_as<std::uint16_t>(in, out, n, range);
      case 4:
        return saturate_as<std::uint32_t>(in, out, n, range);
      default:
        return saturate_as<std::uint64_t>(in, out, n, range);
    }
  } else if (t.itemsize == 2) {
    saturate_half(static_cast<const std::uint16_t*>(in), static_cast<std::uint16_t*>(out), n,
                  half_bounds_for(range));
  } else if (t.itemsize == 4) {
    saturate_as<float>(in, out, n, range);
  } else if (t.itemsize == 8) {
    saturate_as<double>(in, out, n, range);
  } else {
    saturate_as<long double>(in, out, n, range);
  }
}

}  // namespace zelka::numeric
