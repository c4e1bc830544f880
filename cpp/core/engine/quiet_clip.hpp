// The clip of float32 vectors to the layer's bounds with AVX-512, as numeric::clip computes it
// lane by lane (v above hi gives hi, then v below lo gives lo; a NaN stays NaN), raising no
// flag, as numpy's clip raises none, so that the clip may share a pass with arithmetic whose
// flags are reported.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>

namespace zelka::engine {

// min(hi, v) gives hi where hi < v and v otherwise (a NaN v included, and v where both are
// zeros), max(lo, .) likewise, which for lo <= hi is the clip; the suppressed exceptions keep
// a NaN from raising the invalid-operation flag.
__attribute__((target("avx512f"), always_inline)) inline __m512 clip_quietly(__m512 v, __m512 lo,
                                                                             __m512 hi) {
  return _mm512_max_round_ps(lo, _mm512_min_round_ps(hi, v, _MM_FROUND_NO_EXC), _MM_FROUND_NO_EXC);
}

}  // namespace zelka::engine

#endif
