#include "core/engine/combine.hpp"

#include <cstring>

namespace zelka::engine {
namespace {

template <typename To, typename From>
void convert(const From* src, To* dst, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) dst[i] = static_cast<To>(src[i]);
}

// acc = acc + x, computed in Wide and stored back in Acc (numpy's in-place add with a
// same-kind cast back to the accumulator's type).
template <typename Acc, typename X, typename Wide>
void add_in(Acc* acc, const X* x, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i)
    acc[i] = static_cast<Acc>(static_cast<Wide>(acc[i]) + static_cast<Wide>(x[i]));
}

template <typename Acc>
void add_slot(Acc* acc, const Slot& x, std::int64_t n, bool compute_wide) {
  if (x.dtype == DType::f32) {
    if (compute_wide)
      add_in<Acc, float, double>(acc, static_cast<const float*>(x.data), n);
    else
      add_in<Acc, float, Acc>(acc, static_cast<const float*>(x.data), n);
  } else {
    add_in<Acc, double, double>(acc, static_cast<const double*>(x.data), n);
  }
}

template <typename T>
void add_zero(T* values, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) values[i] = values[i] + T(0);
}

}  // namespace

void convert_into(const Slot& src, Slot& dst) {
  const std::int64_t n = dst.size;
  if (src.dtype == dst.dtype) {
    if (src.data != dst.data) std::memcpy(dst.data, src.data, n * itemsize(dst.dtype));
  } else if (dst.dtype == DType::f64) {
    convert(static_cast<const float*>(src.data), static_cast<double*>(dst.data), n);
  } else {
    convert(static_cast<const double*>(src.data), static_cast<float*>(dst.data), n);
  }
}

void combine_into(const std::vector<Slot>& slots, const CombineArgs& args, Slot& dst) {
  const Slot& first = slots[args.sources.front()];
  convert_into(first, dst);
  const std::int64_t n = dst.size;
  if (args.mode == CombineMode::sum) {
    if (dst.dtype == DType::f32)
      add_zero(static_cast<float*>(dst.data), n);
    else
      add_zero(static_cast<double*>(dst.data), n);
  }
  for (std::size_t k = 1; k < args.sources.size(); ++k) {
    const Slot& x = slots[args.sources[k]];
    // sum adds in the promoted type, which is dst's; add_into computes in the
    // promotion of dst's type and x's, then stores in dst's type.
    const bool wide = x.dtype == DType::f64 || dst.dtype == DType::f64;
    if (dst.dtype == DType::f32)
      add_slot(static_cast<float*>(dst.data), x, n, wide);
    else
      add_slot(static_cast<double*>(dst.data), x, n, true);
  }
}

}  // namespace zelka::engine
