// The vector instructions of the processor the engine runs on, read once per process; the
// kernels written for one instruction set check them before they are called.
#pragma once

#if defined(__x86_64__)

namespace zelka::engine {

inline bool has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

inline bool has_avx512() {
  static const bool has = __builtin_cpu_supports("avx512f");
  return has;
}

// AVX-512 and the bit manipulation instructions (tzcnt, blsr).
inline bool has_avx512_and_bmi() {
  static const bool has = has_avx512() && __builtin_cpu_supports("bmi");
  return has;
}

}  // namespace zelka::engine

#endif
