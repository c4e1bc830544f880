// Floating-point status flags and what numpy reports of them.
#pragma once

#include <cfenv>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

namespace zelka::engine {

// Discards the status flags raised inside its scope, keeping those raised before it.
// Wraps the passes whose conditions numpy never reports: clipping and comparing NaN
// raise the invalid-operation flag in vector code, where numpy's clip and comparisons
// stay silent.  On x86-64 the kernels' arithmetic is SSE/AVX, whose flags live in MXCSR
// alone: saving and restoring that register costs a few cycles, where the C library's
// whole-environment calls cost a hundred.
class UnreportedFlags {
 public:
#if defined(__x86_64__) || defined(_M_X64)
  UnreportedFlags() : saved_(_mm_getcsr()) {}
  ~UnreportedFlags() { _mm_setcsr(saved_); }
#else
  UnreportedFlags() { std::fegetexceptflag(&saved_, FE_ALL_EXCEPT); }
  ~UnreportedFlags() { std::fesetexceptflag(&saved_, FE_ALL_EXCEPT); }
#endif
  UnreportedFlags(const UnreportedFlags&) = delete;
  UnreportedFlags& operator=(const UnreportedFlags&) = delete;

 private:
#if defined(__x86_64__) || defined(_M_X64)
  unsigned int saved_;
#else
  std::fexcept_t saved_;
#endif
};

}  // namespace zelka::engine
