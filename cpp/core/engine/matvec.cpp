#include "core/engine/matvec.hpp"

#include <algorithm>
#include <bit>

namespace zelka::engine {
namespace {

// Dot product with independent partial sums so that the compiler can keep them in vector
// registers without reassociating a single accumulator.
template <typename T>
[[gnu::always_inline]] inline T dot(const T* a, const T* b, std::int64_t n) {
  constexpr int lanes = 64 / sizeof(T);
  T partial[lanes] = {};
  std::int64_t i = 0;
  for (; i + lanes <= n; i += lanes)
    for (int k = 0; k < lanes; ++k) partial[k] += a[i + k] * b[i + k];
  T tail = 0;
  for (; i < n; ++i) tail += a[i] * b[i];
  for (int width = lanes / 2; width > 0; width /= 2)
    for (int k = 0; k < width; ++k) partial[k] += partial[k + width];
  return partial[0] + tail;
}

// numpy multiplies a one-column matrix by its single input as a scaled vector, which is
// all zeros for a zero input, whatever the column holds (NaN and infinity included).
template <typename T>
bool scaled_to_zero(const T* x, std::int64_t rows, std::int64_t cols) {
  return cols == 1 && rows > 1 && x[0] == T(0);
}

template <typename T>
[[gnu::always_inline]] inline void matvec_rows(const T* w, const T* x, T* y, std::int64_t rows,
                                               std::int64_t cols) {
  if (scaled_to_zero(x, rows, cols)) {
    std::fill(y, y + rows, T(0));
    return;
  }
  for (std::int64_t r = 0; r < rows; ++r) y[r] = dot(w + r * cols, x, cols);
}

template <typename T>
[[gnu::always_inline]] inline void matvec_batch_rows(const T* w, const T* const* xs, T* const* ys,
                                                     std::int64_t count, std::int64_t rows,
                                                     std::int64_t cols) {
  for (std::int64_t k = 0; k < count; ++k)
    if (scaled_to_zero(xs[k], rows, cols)) std::fill(ys[k], ys[k] + rows, T(0));
  for (std::int64_t r = 0; r < rows; ++r) {
    const T* row = w + r * cols;
    for (std::int64_t k = 0; k < count; ++k)
      if (!scaled_to_zero(xs[k], rows, cols)) ys[k][r] = dot(row, xs[k], cols);
  }
}

template <typename T>
[[gnu::always_inline]] inline void add_column(const T* column, T* y, std::int64_t rows) {
  for (std::int64_t r = 0; r < rows; ++r) y[r] += column[r];
}

template <typename T>
[[gnu::always_inline]] inline void add_weighted_column(const T* column, T weight, T* y,
                                                       std::int64_t rows) {
  for (std::int64_t r = 0; r < rows; ++r) y[r] += weight * column[r];
}

// The columns of the nonzero inputs, in ascending order for every input (as a product by
// columns of one input adds them), spikes adding their columns and other inputs their
// columns weighted by their values.  Columns are taken in blocks of 64: every input adds
// what it uses of a block before the next block, so a block is read once for all inputs,
// and each input finds its nonzero entries of a block as the set bits of a mask.
template <bool weighted, typename T, typename X>
[[gnu::always_inline]] inline void columns_batch_rows(const T* w_cols, const X* const* xs,
                                                      T* const* ys, std::int64_t count,
                                                      std::int64_t rows, std::int64_t cols) {
  constexpr std::int64_t block = 64;
  for (std::int64_t k = 0; k < count; ++k) std::fill(ys[k], ys[k] + rows, T(0));
  for (std::int64_t first = 0; first < cols; first += block) {
    const std::int64_t width = std::min(block, cols - first);
    for (std::int64_t k = 0; k < count; ++k) {
      const X* x = xs[k] + first;
      std::uint64_t nonzero = 0;
      for (std::int64_t j = 0; j < width; ++j)
        nonzero |= static_cast<std::uint64_t>(x[j] != X(0)) << j;
      while (nonzero) {
        const int j = std::countr_zero(nonzero);
        nonzero &= nonzero - 1;
        const T* column = w_cols + (first + j) * rows;
        if constexpr (weighted)
          add_weighted_column(column, static_cast<T>(x[j]), ys[k], rows);
        else
          add_column(column, ys[k], rows);
      }
    }
  }
}

}  // namespace

__attribute__((target_clones("avx2", "default"))) void matvec(const float* w, const float* x,
                                                              float* y, std::int64_t rows,
                                                              std::int64_t cols) {
  matvec_rows(w, x, y, rows, cols);
}

__attribute__((target_clones("avx2", "default"))) void matvec(const double* w, const double* x,
                                                              double* y, std::int64_t rows,
                                                              std::int64_t cols) {
  matvec_rows(w, x, y, rows, cols);
}

__attribute__((target_clones("avx2", "default"))) void matvec_batch(
    const float* w, const float* const* xs, float* const* ys, std::int64_t count, std::int64_t rows,
    std::int64_t cols) {
  matvec_batch_rows(w, xs, ys, count, rows, cols);
}

__attribute__((target_clones("avx2", "default"))) void matvec_batch(
    const double* w, const double* const* xs, double* const* ys, std::int64_t count,
    std::int64_t rows, std::int64_t cols) {
  matvec_batch_rows(w, xs, ys, count, rows, cols);
}

__attribute__((target_clones("avx2", "default"))) void spike_matvec(const float* w_cols,
                                                                    const float* spikes, float* y,
                                                                    std::int64_t rows,
                                                                    std::int64_t cols) {
  columns_batch_rows<false>(w_cols, &spikes, &y, 1, rows, cols);
}

__attribute__((target_clones("avx2", "default"))) void spike_matvec(const double* w_cols,
                                                                    const float* spikes, double* y,
                                                                    std::int64_t rows,
                                                                    std::int64_t cols) {
  columns_batch_rows<false>(w_cols, &spikes, &y, 1, rows, cols);
}

__attribute__((target_clones("avx2", "default"))) void weighted_column_matvec(
    const float* w_cols, const float* x, float* y, std::int64_t rows, std::int64_t cols) {
  columns_batch_rows<true>(w_cols, &x, &y, 1, rows, cols);
}

__attribute__((target_clones("avx2", "default"))) void weighted_column_matvec(
    const double* w_cols, const double* x, double* y, std::int64_t rows, std::int64_t cols) {
  columns_batch_rows<true>(w_cols, &x, &y, 1, rows, cols);
}

__attribute__((target_clones("avx2", "default"))) void spike_matvec_batch(
    const float* w_cols, const float* const* spikes, float* const* ys, std::int64_t count,
    std::int64_t rows, std::int64_t cols) {
  columns_batch_rows<false>(w_cols, spikes, ys, count, rows, cols);
}

__attribute__((target_clones("avx2", "default"))) void spike_matvec_batch(
    const double* w_cols, const float* const* spikes, double* const* ys, std::int64_t count,
    std::int64_t rows, std::int64_t cols) {
  columns_batch_rows<false>(w_cols, spikes, ys, count, rows, cols);
}

__attribute__((target_clones("avx2", "default"))) void weighted_column_matvec_batch(
    const float* w_cols, const float* const* xs, float* const* ys, std::int64_t count,
    std::int64_t rows, std::int64_t cols) {
  columns_batch_rows<true>(w_cols, xs, ys, count, rows, cols);
}

__attribute__((target_clones("avx2", "default"))) void weighted_column_matvec_batch(
    const double* w_cols, const double* const* xs, double* const* ys, std::int64_t count,
    std::int64_t rows, std::int64_t cols) {
  columns_batch_rows<true>(w_cols, xs, ys, count, rows, cols);
}

}  // namespace zelka::engine
