// Matrix-vector products of the Affine layer.
#pragma once

#include <cstdint>

namespace zelka::engine {

// y[r] = sum_c w[r, c] * x[c] for a row-major [rows, cols] matrix.
void matvec(const float* w, const float* x, float* y, std::int64_t rows, std::int64_t cols);
void matvec(const double* w, const double* x, double* y, std::int64_t rows, std::int64_t cols);

// ys[k] = W xs[k] for `count` inputs at once, each weight row read once for all of them;
// every product equals what matvec gives for that input alone.
void matvec_batch(const float* w, const float* const* xs, float* const* ys, std::int64_t count,
                  std::int64_t rows, std::int64_t cols);
void matvec_batch(const double* w, const double* const* xs, double* const* ys, std::int64_t count,
                  std::int64_t rows, std::int64_t cols);

// The number of elements between the columns of a column-major weight copy: its rows
// rounded up to a multiple of 16, the padding zero.
inline std::int64_t column_stride(std::int64_t rows) {
  return (rows + 15) / 16 * 16;
}

// The same product for a spike vector x (every entry exactly 0 or 1): the columns of the
// active inputs, taken from the column-major copy `w_cols` [cols, column_stride(rows)],
// are summed.  These column sums write whole padded columns: y has room for
// column_stride(rows) values, of which those past `rows` are to be ignored.
// Only valid for finite weights (an infinite weight times 0 would have to give NaN).
void spike_matvec(const float* w_cols, const float* spikes, float* y, std::int64_t rows,
                  std::int64_t cols);
void spike_matvec(const double* w_cols, const float* spikes, double* y, std::int64_t rows,
                  std::int64_t cols);

// The same product for a sparse x: the columns of the nonzero inputs, weighted by their
// values, added up in column order.  Only valid for finite weights.
void weighted_column_matvec(const float* w_cols, const float* x, float* y, std::int64_t rows,
                            std::int64_t cols);
void weighted_column_matvec(const double* w_cols, const double* x, double* y, std::int64_t rows,
                            std::int64_t cols);

// The same column sums for `count` inputs at once, each column read once for all inputs
// that use it; every product equals what the single-input function gives for that input.
void spike_matvec_batch(const float* w_cols, const float* const* spikes, float* const* ys,
                        std::int64_t count, std::int64_t rows, std::int64_t cols);
void spike_matvec_batch(const double* w_cols, const float* const* spikes, double* const* ys,
                        std::int64_t count, std::int64_t rows, std::int64_t cols);
void weighted_column_matvec_batch(const float* w_cols, const float* const* xs, float* const* ys,
                                  std::int64_t count, std::int64_t rows, std::int64_t cols);
void weighted_column_matvec_batch(const double* w_cols, const double* const* xs, double* const* ys,
                                  std::int64_t count, std::int64_t rows, std::int64_t cols);

// spike_matvec_batch for spikes given as bits (input k's spike j is bit j % 16 of
// bits[k * cols / 16 + j / 16]), for float32 layers of at most 128 rows with AVX-512; false,
// computing nothing, elsewhere.
bool spike_matvec_batch_of_bits(const float* w_cols, const std::uint16_t* bits, std::int64_t count,
                                std::int64_t rows, std::int64_t cols, float* const* ys);

// Whether a product with this input is cheaper as a sum of weighted columns: at most a
// third of its entries are nonzero.
template <typename T>
bool sparse_enough(const T* x, std::int64_t n) {
  std::int64_t nonzero = 0;
  for (std::int64_t i = 0; i < n; ++i) nonzero += x[i] != T(0);
  return 3 * nonzero <= n;
}

}  // namespace zelka::engine
