// The clip of float32 vectors to the layer's bounds with AVX-512, as numeric::clip computes it
// lane by lane, with quiet comparisons: a NaN compares false (it stays NaN) and raises no
// flag, as in numpy's clip, so that the clip may share a pass with arithmetic whose flags are
// reported.
#pragma once

#if defined(__x86_64__)
#include <immintrin.h>

namespace zelka::engine {

__attribute__((target("avx512f"), always_inline)) inline __m512 clip_quietly(__m512 v, __m512 lo,
                                                                             __m512 hi) {
  const __m512 below_hi = _mm512_mask_blend_ps(_mm512_cmp_ps_mask(v, hi, _CMP_GT_OQ), v, hi);
  return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(v, lo, _CMP_LT_OQ), below_hi, lo);
}

}  // namespace zelka::engine

#endif
