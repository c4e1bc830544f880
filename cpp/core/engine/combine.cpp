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
void add_value(Acc* acc, const Frame& frame, int x, std::int64_t n, bool compute_wide) {
  if (frame.slots[x].dtype == DType::f32) {
    if (compute_wide)
      add_in<Acc, float, double>(acc, frame.at<const float>(x), n);
    else
      add_in<Acc, float, Acc>(acc, frame.at<const float>(x), n);
  } else {
    add_in<Acc, double, double>(acc, frame.at<const double>(x), n);
  }
}

template <typename T>
void add_zero(T* values, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) values[i] = values[i] + T(0);
}

}  // namespace

void convert_into(const Frame& frame, int src, int dst) {
  const DType from = frame.slots[src].dtype, to = frame.slots[dst].dtype;
  const std::int64_t n = frame.slots[dst].size;
  void* out = frame.bytes(dst);
  const void* in = frame.bytes(src);
  if (from == to) {
    if (in != out) std::memcpy(out, in, n * itemsize(to));
  } else if (to == DType::f64) {
    convert(static_cast<const float*>(in), static_cast<double*>(out), n);
  } else {
    convert(static_cast<const double*>(in), static_cast<float*>(out), n);
  }
}

void combine_into(const Frame& frame, const CombineArgs& args, int dst) {
  convert_into(frame, args.sources.front(), dst);
  const DType type = frame.slots[dst].dtype;
  const std::int64_t n = frame.slots[dst].size;
  if (args.mode == CombineMode::sum) {
    if (type == DType::f32)
      add_zero(frame.at<float>(dst), n);
    else
      add_zero(frame.at<double>(dst), n);
  }
  for (std::size_t k = 1; k < args.sources.size(); ++k) {
    const int x = args.sources[k];
    // sum adds in the promoted type, which is dst's; add_into computes in the
    // promotion of dst's type and x's, then stores in dst's type.
    const bool wide = frame.slots[x].dtype == DType::f64 || type == DType::f64;
    if (type == DType::f32)
      add_value(frame.at<float>(dst), frame, x, n, wide);
    else
      add_value(frame.at<double>(dst), frame, x, n, true);
  }
}

}  // namespace zelka::engine
