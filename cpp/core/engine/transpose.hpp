// The column-major copy of a weight matrix that the column sums read.
#pragma once

#include <cstdint>

namespace zelka::engine {

// Writes in[rows, cols] (row-major) column after column into out[cols, stride]
// (stride >= rows; the entries of each column past `rows` are left as they are) and tells
// whether every value is finite (no infinity or NaN), read as bits while copying: no
// floating-point operation, no status flag.
bool transpose_finite(const float* in, std::int64_t rows, std::int64_t cols, float* out,
                      std::int64_t stride);
bool transpose_finite(const double* in, std::int64_t rows, std::int64_t cols, double* out,
                      std::int64_t stride);

}  // namespace zelka::engine
