// Element types the native engine computes in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelka::engine {

enum class DType : std::uint8_t { f32, f64 };

inline std::size_t itemsize(DType d) {
  return d == DType::f32 ? 4 : 8;
}

// The wider of two element types (numpy's promotion restricted to float32/float64).
inline DType promote(DType a, DType b) {
  return (a == DType::f64 || b == DType::f64) ? DType::f64 : DType::f32;
}

}  // namespace zelka::engine
