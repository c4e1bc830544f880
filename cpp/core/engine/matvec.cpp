#include "core/engine/matvec.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>

#include "core/engine/cpu_features.hpp"
#endif

namespace zelka::engine {
namespace {

// 64-byte vectors of T (GCC and Clang vector extensions: one AVX-512 register, or two AVX
// or four SSE registers, by the clone).
template <typename T>
struct Vec {
  static constexpr int lanes = 64 / sizeof(T);
  typedef T type __attribute__((vector_size(64)));
  typedef T unaligned __attribute__((vector_size(64), aligned(sizeof(T))));

  static type load(const T* p) { return *reinterpret_cast<const unaligned*>(p); }
  static void store(T* p, type v) { *reinterpret_cast<unaligned*>(p) = v; }
};

// v[k] + v[k + width] for k < width (the other lanes are left as they are), the operands
// in that order.
template <int width, typename V>
[[gnu::always_inline]] inline V fold(V v) {
  if constexpr (sizeof(v[0]) == 4)
    return v + __builtin_shufflevector(
                   v, v, (0 + width) % 16, (1 + width) % 16, (2 + width) % 16, (3 + width) % 16,
                   (4 + width) % 16, (5 + width) % 16, (6 + width) % 16, (7 + width) % 16,
                   (8 + width) % 16, (9 + width) % 16, (10 + width) % 16, (11 + width) % 16,
                   (12 + width) % 16, (13 + width) % 16, (14 + width) % 16, (15 + width) % 16);
  else
    return v + __builtin_shufflevector(v, v, (0 + width) % 8, (1 + width) % 8, (2 + width) % 8,
                                       (3 + width) % 8, (4 + width) % 8, (5 + width) % 8,
                                       (6 + width) % 8, (7 + width) % 8);
}

// Dot product with one partial sum per lane of a 64-byte vector (partial k adds the
// products of the entries k, k + lanes, ...), folded pairwise (partial k plus partial
// k + lanes/2, and so on) and then plus the products of the entries past the last whole
// vector.  The order is fixed by this text, whatever the vector width of the clone.
template <typename T>
[[gnu::always_inline]] inline T dot(const T* a, const T* b, std::int64_t n) {
  using V = Vec<T>;
  typename V::type partial{};
  std::int64_t i = 0;
  for (; i + V::lanes <= n; i += V::lanes) partial += V::load(a + i) * V::load(b + i);
  T tail = 0;
  for (; i < n; ++i) tail += a[i] * b[i];
  if constexpr (V::lanes == 16) partial = fold<8>(partial);
  partial = fold<1>(fold<2>(fold<4>(partial)));
  return partial[0] + tail;
}

// numpy multiplies a one-column matrix by its single input as a scaled vector, which is
// all zeros for a zero input, whatever the column holds (NaN and infinity included).
template <typename T>
bool scaled_to_zero(const T* x, std::int64_t rows, std::int64_t cols) {
  return cols == 1 && rows > 1 && x[0] == T(0);
}

// For two vectors x and y of `lanes` lanes split in groups of `group` lanes (a group per
// dot product being folded), the lanes (as __builtin_shufflevector numbers the pair) of the
// first half (or with `high` the second half) of every group, x's groups then y's.
template <int lanes, int group, bool high>
constexpr std::array<int, lanes> group_halves() {
  std::array<int, lanes> at{};
  int n = 0;
  for (int source = 0; source < 2; ++source)
    for (int start = 0; start < lanes; start += group)
      for (int i = 0; i < group / 2; ++i)
        at[n++] = source * lanes + start + i + (high ? group / 2 : 0);
  return at;
}

template <int lanes, int group, bool high>
inline constexpr std::array<int, lanes> group_halves_v = group_halves<lanes, group, high>();

template <int group, bool high, typename V, std::size_t... I>
[[gnu::always_inline]] inline V pick_halves(V x, V y, std::index_sequence<I...>) {
  return __builtin_shufflevector(x, y, group_halves_v<sizeof...(I), group, high>[I]...);
}

// One folding step of every dot product held in x and y (groups of `group` lanes each):
// lane k of a group plus lane k + group/2, the sums of x's groups then of y's.
template <int group, typename V>
[[gnu::always_inline]] inline V fold_groups(V x, V y) {
  constexpr auto lanes = std::make_index_sequence<sizeof(V) / sizeof(x[0])>{};
  return pick_halves<group, false>(x, y, lanes) + pick_halves<group, true>(x, y, lanes);
}

// The partial sums of `lanes` dot products (one vector each, as dot() builds them) folded as
// dot() folds each (lane k plus lane k + lanes/2, and so on down to one lane), all at once:
// lane q of the result is dot product q's folded sum.  Each step folds two vectors into one,
// so the whole costs lanes - 1 additions where folding each alone costs lanes * log2(lanes).
template <typename V, int lanes>
[[gnu::always_inline]] inline V fold_all(V (&partial)[lanes]) {
  const auto step = [&]<int group>(std::integral_constant<int, group>) {
    for (int m = 0; m < group / 2; ++m)  // group vectors of lanes / group dot products each
      partial[m] = fold_groups<group>(partial[2 * m], partial[2 * m + 1]);
  };
  if constexpr (lanes == 16) step(std::integral_constant<int, 16>{});
  step(std::integral_constant<int, 8>{});
  step(std::integral_constant<int, 4>{});
  step(std::integral_constant<int, 2>{});
  return partial[0];
}

// y[j][r] = dot(w row r, x[j]) for `inputs` inputs (1 or 4) and every row, lanes/inputs rows
// at a time: each weight chunk is loaded once for the inputs and each input chunk once for
// the rows, and the dot products' partial sums are folded together (fold_all).  Every sum is
// formed exactly as dot() forms it.  Rows past the last whole block take dot().
template <int inputs, typename T>
[[gnu::always_inline]] inline void dot_blocks(const T* w, const T* const* x, T* const* y,
                                              std::int64_t rows, std::int64_t cols) {
  using V = Vec<T>;
  constexpr int lanes = V::lanes;
  constexpr int block_rows = lanes / inputs;
  const std::int64_t whole = cols / lanes * lanes;
  std::int64_t r0 = 0;
  for (; r0 + block_rows <= rows; r0 += block_rows) {
    typename V::type partial[lanes] = {};  // dot product q: row r0 + q / inputs, input q % inputs
    for (std::int64_t c = 0; c < whole; c += lanes) {
      typename V::type chunk[inputs];
      for (int j = 0; j < inputs; ++j) chunk[j] = V::load(x[j] + c);
      for (int i = 0; i < block_rows; ++i) {
        const typename V::type weights = V::load(w + (r0 + i) * cols + c);
        for (int j = 0; j < inputs; ++j) partial[i * inputs + j] += weights * chunk[j];
      }
    }
    typename V::type tails{};
    if (whole < cols)
      for (int q = 0; q < lanes; ++q) {
        const T* row = w + (r0 + q / inputs) * cols;
        T tail = 0;
        for (std::int64_t c = whole; c < cols; ++c) tail += row[c] * x[q % inputs][c];
        tails[q] = tail;
      }
    const typename V::type sums = fold_all(partial) + tails;
    for (int q = 0; q < lanes; ++q) y[q % inputs][r0 + q / inputs] = sums[q];
  }
  for (; r0 < rows; ++r0)
    for (int j = 0; j < inputs; ++j) y[j][r0] = dot(w + r0 * cols, x[j], cols);
}

template <typename T>
[[gnu::always_inline]] inline void matvec_rows(const T* w, const T* x, T* y, std::int64_t rows,
                                               std::int64_t cols) {
  if (scaled_to_zero(x, rows, cols))
    std::fill(y, y + rows, T(0));
  else
    dot_blocks<1>(w, &x, &y, rows, cols);
}

// Inputs four at a time, the rest one by one.
template <typename T>
[[gnu::always_inline]] inline void matvec_batch_rows(const T* w, const T* const* xs, T* const* ys,
                                                     std::int64_t count, std::int64_t rows,
                                                     std::int64_t cols) {
  std::int64_t k = 0;
  if (cols > 1)  // (a one-column matrix may scale some inputs to zero)
    for (; k + 4 <= count; k += 4) dot_blocks<4>(w, xs + k, ys + k, rows, cols);
  for (; k < count; ++k) matvec_rows(w, xs[k], ys[k], rows, cols);
}

constexpr std::int64_t column_block = 64;  // columns taken at a time
constexpr int interleaved = 4;             // inputs summed side by side in narrow layers

// The active columns of a block of columns, by their positions: column a starts at
// base + at[a] * stride.
template <typename T>
struct ActiveColumns {
  const T* base;
  const std::int32_t* at;
  std::int64_t stride;

  const T* operator[](std::int64_t a) const { return base + at[a] * stride; }
};

// The same by their addresses, for weighted inputs, whose gathering passes over the active
// columns anyway.
template <typename T>
struct ColumnAddresses {
  const T* at[column_block];
  std::int64_t stride;

  const T* operator[](std::int64_t a) const { return at[a]; }
};

// y[0 .. NV lanes) plus rows [r0, r0 + NV lanes) of the active columns, in the order
// given; the sums start from +0.0 when `from_zero`, else from y.  The columns' rows are
// padded (column_stride), so that every column holds the whole block.
template <int NV, bool weighted, typename Columns, typename T>
[[gnu::always_inline]] inline void accumulate_rows(const Columns& columns, std::int64_t r0,
                                                   const T* weights, std::int64_t count, T* y,
                                                   bool from_zero) {
  using V = Vec<T>;
  typename V::type acc[NV];
  for (int v = 0; v < NV; ++v) acc[v] = from_zero ? typename V::type{} : V::load(y + v * V::lanes);
  for (std::int64_t a = 0; a < count; ++a) {
    const T* column = columns[a] + r0;
    if constexpr (weighted) {
      const typename V::type weight = typename V::type{} + weights[a];
      for (int v = 0; v < NV; ++v) acc[v] += weight * V::load(column + v * V::lanes);
    } else {
      for (int v = 0; v < NV; ++v) acc[v] += V::load(column + v * V::lanes);
    }
  }
  for (int v = 0; v < NV; ++v) V::store(y + v * V::lanes, acc[v]);
}

// y plus the active columns, for all rows of the padded column (y has room for them):
// blocks of eight vectors, then of four, then of one.
template <bool weighted, typename Columns, typename T>
[[gnu::always_inline]] inline void accumulate(const Columns& columns, const T* weights,
                                              std::int64_t count, T* y, bool from_zero) {
  constexpr std::int64_t lanes = Vec<T>::lanes;
  const std::int64_t stride = columns.stride;
  std::int64_t r0 = 0;
  for (; r0 + 8 * lanes <= stride; r0 += 8 * lanes)
    accumulate_rows<8, weighted>(columns, r0, weights, count, y + r0, from_zero);
  for (; r0 + 4 * lanes <= stride; r0 += 4 * lanes)
    accumulate_rows<4, weighted>(columns, r0, weights, count, y + r0, from_zero);
  for (; r0 < stride; r0 += lanes)
    accumulate_rows<1, weighted>(columns, r0, weights, count, y + r0, from_zero);
}

// The active columns of `interleaved` inputs, input j's into ys[j], a vector of rows at a
// time: one chain of additions per input and vector, the chains side by side, so that the
// additions of a narrow layer (a vector or two of rows) do not each wait for the last.
template <bool weighted, typename Columns, typename T>
[[gnu::always_inline]] inline void accumulate_interleaved(const Columns* columns,
                                                          const T (*weights)[column_block],
                                                          const std::int64_t* counts, T* const* ys,
                                                          bool from_zero) {
  using V = Vec<T>;
  const std::int64_t stride = columns[0].stride;
  const std::int64_t common = *std::min_element(counts, counts + interleaved);
  const auto term = [&](int j, std::int64_t a, std::int64_t r0) {
    const typename V::type column = V::load(columns[j][a] + r0);
    if constexpr (weighted)
      return (typename V::type{} + weights[j][a]) * column;
    else
      return column;
  };
  for (std::int64_t r0 = 0; r0 < stride; r0 += V::lanes) {
    typename V::type acc[interleaved];
    for (int j = 0; j < interleaved; ++j)
      acc[j] = from_zero ? typename V::type{} : V::load(ys[j] + r0);
    for (std::int64_t a = 0; a < common; ++a)
      for (int j = 0; j < interleaved; ++j) acc[j] += term(j, a, r0);
    for (int j = 0; j < interleaved; ++j) {
      for (std::int64_t a = common; a < counts[j]; ++a) acc[j] += term(j, a, r0);
      V::store(ys[j] + r0, acc[j]);
    }
  }
}

// For every byte, the positions of its set bits in ascending order (padded with zeros to
// eight) and their number: a mask of 64 bits becomes the list of its set bits a byte at a
// time, eight entries written at once, without a branch per bit.
struct BitPositions {
  std::uint8_t at[256][8];
  std::uint8_t count[256];
};

constexpr BitPositions make_bit_positions() {
  BitPositions table{};
  for (int byte = 0; byte < 256; ++byte) {
    int n = 0;
    for (int bit = 0; bit < 8; ++bit)
      if (byte & (1 << bit)) table.at[byte][n++] = static_cast<std::uint8_t>(bit);
    table.count[byte] = static_cast<std::uint8_t>(n);
  }
  return table;
}

inline constexpr BitPositions bit_positions = make_bit_positions();

// The positions of the set bits of `mask`, ascending, into `out` (room for 64 + 8);
// returns how many.
[[gnu::always_inline]] inline std::int64_t set_bits(std::uint64_t mask, std::int32_t* out) {
  std::int64_t n = 0;
  for (int byte = 0; byte < 8; ++byte) {
    const unsigned b = static_cast<unsigned>(mask >> (8 * byte)) & 0xffu;
    for (int i = 0; i < 8; ++i) out[n + i] = 8 * byte + bit_positions.at[b][i];
    n += bit_positions.count[b];
  }
  return n;
}

#if defined(__x86_64__)
// The same positions for float inputs with AVX-512: per 16 entries a compare into a mask and
// a compress of their indices, where the portable code builds the mask a bit at a time.
// x != 0 is the quiet unordered compare (NaN counts as nonzero and raises no flag, -0.0 is
// zero).  Writes up to 16 entries past the last position.
__attribute__((target("avx512f"))) std::int64_t nonzero_positions_avx512(const float* x,
                                                                         std::int64_t width,
                                                                         std::int32_t* out) {
  __m512i index = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512i sixteen = _mm512_set1_epi32(16);
  std::int64_t n = 0;
  for (std::int64_t j = 0; j < width; j += 16) {
    // (a masked load only for the last, partial chunk: a full one reads as a plain load,
    // which the prefetchers follow)
    const bool whole = width - j >= 16;
    const __mmask16 valid = whole ? __mmask16(0xffff) : __mmask16((1u << (width - j)) - 1);
    const __m512 values = whole ? _mm512_loadu_ps(x + j) : _mm512_maskz_loadu_ps(valid, x + j);
    const __mmask16 nonzero = _mm512_cmp_ps_mask(values, _mm512_setzero_ps(), _CMP_NEQ_UQ) & valid;
    _mm512_storeu_si512(out + n, _mm512_maskz_compress_epi32(nonzero, index));
    n += __builtin_popcount(nonzero);
    index = _mm512_add_epi32(index, sixteen);
  }
  return n;
}

// Bit j of the result: whether x[first + j] is nonzero (quiet compare), for the columns
// [first, min(first + 64, cols)).
__attribute__((target("avx512f"), always_inline)) inline std::uint64_t fired_mask(
    const float* x, std::int64_t first, std::int64_t cols) {
  std::uint64_t mask = 0;
  for (std::int64_t j = first; j < std::min(first + 64, cols); j += 16) {
    const std::int64_t left = cols - j;
    const __mmask16 valid = left >= 16 ? __mmask16(0xffff) : __mmask16((1u << left) - 1);
    const __m512 values = left >= 16 ? _mm512_loadu_ps(x + j) : _mm512_maskz_loadu_ps(valid, x + j);
    const std::uint64_t bits = _mm512_cmp_ps_mask(values, _mm512_setzero_ps(), _CMP_NEQ_UQ) & valid;
    mask |= bits << (j - first);
  }
  return mask;
}

// The spikes of inputs as masks of 64 columns: bit j of mask(k, first) is whether input k's
// column first + j fired.  From float32 spikes, a quiet compare per 16 columns; from the bits a
// LIF wrote (FiredBits), up to four of its 16-bit words.
struct SpikeFloats {
  const float* const* spikes;
  std::int64_t cols;

  __attribute__((target("avx512f"), always_inline)) std::uint64_t mask(std::int64_t k,
                                                                       std::int64_t first) const {
    return fired_mask(spikes[k], first, cols);
  }
};

struct SpikeBits {
  const std::uint16_t* bits;
  std::int64_t words;  // per input: its columns / 16

  [[gnu::always_inline]] std::uint64_t mask(std::int64_t k, std::int64_t first) const {
    const std::uint16_t* at = bits + k * words + first / 16;
    const std::int64_t left = words - first / 16;
    std::uint64_t mask = 0;
    if (left >= 4)  // (a copy of fixed size, which compiles to one load)
      std::memcpy(&mask, at, 8);
    else
      for (std::int64_t w = 0; w < left; ++w) mask |= std::uint64_t{at[w]} << (16 * w);
    return mask;
  }
};

// `yes` if `condition`, else `no`, without a branch: the inputs summed side by side run out of
// columns at random, which a branch would mispredict.
[[gnu::always_inline]] inline const float* pick(bool condition, const float* yes, const float* no) {
  const std::uintptr_t all = 0 - static_cast<std::uintptr_t>(condition);
  return reinterpret_cast<const float*>((reinterpret_cast<std::uintptr_t>(yes) & all) |
                                        (reinterpret_cast<std::uintptr_t>(no) & ~all));
}

// Column sums of spike inputs for layers of at most 128 rows (NV vectors of the column-major
// copy per column): each input's spikes of 64 columns make a 64-bit mask, whose set bits give
// the columns in ascending order, one bit cleared per column added.  Layers of one vector sum
// four inputs side by side, an input whose bits run out adding the identity vector (-0.0,
// which added to any value leaves it as it is) until the others' do.  The positions never pass
// through memory.  Every sum starts from +0.0 and adds its active columns in column order, as
// the blocks above do.
template <int NV, int G, typename Spikes>
__attribute__((target("avx512f,bmi"), always_inline)) inline void mask_sums(const float* w_cols,
                                                                            const Spikes& spikes,
                                                                            std::int64_t k,
                                                                            float* const* ys,
                                                                            std::int64_t cols) {
  constexpr std::int64_t stride = 16 * NV;
  alignas(64) static const float identity[16] = {-0.0f, -0.0f, -0.0f, -0.0f, -0.0f, -0.0f,
                                                 -0.0f, -0.0f, -0.0f, -0.0f, -0.0f, -0.0f,
                                                 -0.0f, -0.0f, -0.0f, -0.0f};
  __m512 acc[G][NV];
  for (int i = 0; i < G; ++i)
    for (int v = 0; v < NV; ++v) acc[i][v] = _mm512_setzero_ps();
  for (std::int64_t first = 0; first < cols; first += 64) {
    std::uint64_t mask[G];
    std::int64_t longest = 0;
    for (int i = 0; i < G; ++i) {
      mask[i] = spikes.mask(k + i, first);
      longest = std::max<std::int64_t>(longest, __builtin_popcountll(mask[i]));
    }
    const float* base = w_cols + first * stride;
    for (std::int64_t a = 0; a < longest; ++a)
      for (int i = 0; i < G; ++i) {
        const float* column = pick(mask[i] != 0, base + _tzcnt_u64(mask[i]) * stride, identity);
        mask[i] = _blsr_u64(mask[i]);
        for (int v = 0; v < NV; ++v)
          acc[i][v] = _mm512_add_ps(acc[i][v], _mm512_loadu_ps(column + 16 * v));
      }
  }
  for (int i = 0; i < G; ++i)
    for (int v = 0; v < NV; ++v) _mm512_storeu_ps(ys[k + i] + 16 * v, acc[i][v]);
}

template <int NV, typename Spikes>
__attribute__((target("avx512f,bmi"))) void spike_sums_by_masks(const float* w_cols,
                                                                const Spikes& spikes,
                                                                float* const* ys,
                                                                std::int64_t count,
                                                                std::int64_t cols) {
  std::int64_t k = 0;
  if constexpr (NV == 1)
    for (; k + 4 <= count; k += 4) mask_sums<1, 4>(w_cols, spikes, k, ys, cols);
  for (; k < count; ++k) mask_sums<NV, 1>(w_cols, spikes, k, ys, cols);
}

// spike_sums_by_masks<NV> for NV = 1 .. 8, by NV - 1.
template <typename Spikes, int... Less>
constexpr auto mask_sum_kernels(std::integer_sequence<int, Less...>) {
  return std::array{&spike_sums_by_masks<Less + 1, Spikes>...};
}

template <typename Spikes>
inline constexpr auto mask_sums_of_vectors =
    mask_sum_kernels<Spikes>(std::make_integer_sequence<int, 8>{});

// spike_sums_by_masks for a layer of `stride` / 16 vectors; false for more than eight.
template <typename Spikes>
bool spike_sums_by_masks(const float* w_cols, const Spikes& spikes, float* const* ys,
                         std::int64_t count, std::int64_t stride, std::int64_t cols) {
  const std::size_t vectors = static_cast<std::size_t>(stride / 16);
  if (vectors == 0 || vectors > mask_sums_of_vectors<Spikes>.size()) return false;
  mask_sums_of_vectors<Spikes>[vectors - 1](w_cols, spikes, ys, count, cols);
  return true;
}

#endif

// The positions of the nonzero entries of x[0, width) (width at most 64), ascending, into
// `out` (room for 64 + 16); returns how many.
template <typename X>
[[gnu::always_inline]] inline std::int64_t nonzero_positions(const X* x, std::int64_t width,
                                                             std::int32_t* out) {
#if defined(__x86_64__)
  if constexpr (std::is_same_v<X, float>)
    if (has_avx512()) return nonzero_positions_avx512(x, width, out);
#endif
  std::uint64_t nonzero = 0;
  for (std::int64_t j = 0; j < width; ++j) nonzero |= static_cast<std::uint64_t>(x[j] != X(0)) << j;
  return set_bits(nonzero, out);
}

// The columns of the nonzero inputs, in ascending order for every input (as a product by
// columns of one input adds them), spikes adding their columns and other inputs their
// columns weighted by their values.  Columns are taken in blocks of 64: every input adds
// what it uses of a block before the next block, so a block is read once for all inputs;
// each input finds the positions of its nonzero entries of a block and sums those columns
// into its outputs held in registers, a block of rows at a time.  Layers narrower than four
// vectors sum four inputs side by side.  Weighted inputs whose nonzero entries of a block are
// all 1 (spike trains given as stimuli) add those columns as spikes do: 1 * w is w, so the
// sums are the same, without the products.  Spikes address their columns by position, which
// spares a pass over the positions; weighted inputs take the addresses as they gather their
// weights.  With AVX-512, spikes into float32 layers of at most 128 rows take
// spike_sums_by_masks instead.
template <bool weighted, typename T, typename X>
[[gnu::always_inline]] inline void columns_batch_rows(const T* w_cols, const X* const* xs,
                                                      T* const* ys, std::int64_t count,
                                                      std::int64_t rows, std::int64_t cols) {
  const std::int64_t stride = column_stride(rows);
#if defined(__x86_64__)
  if constexpr (!weighted && std::is_same_v<T, float>)
    if (has_avx512_and_bmi() &&
        spike_sums_by_masks(w_cols, SpikeFloats{xs, cols}, ys, count, stride, cols))
      return;
#endif
  const bool narrow = stride < 4 * Vec<T>::lanes;
  std::int32_t positions[interleaved][column_block + 16];
  std::conditional_t<weighted, ColumnAddresses<T>, ActiveColumns<T>> columns[interleaved];
  T weights[interleaved][column_block];
  std::int64_t counts[interleaved];
  bool ones[interleaved];
  if (cols == 0)
    for (std::int64_t k = 0; k < count; ++k) std::fill(ys[k], ys[k] + rows, T(0));
  for (std::int64_t first = 0; first < cols; first += column_block) {
    const std::int64_t width = std::min(column_block, cols - first);
    const bool from_zero = first == 0;
    const auto gather = [&](std::int64_t k, int j) {
      const X* x = xs[k] + first;
      counts[j] = nonzero_positions(x, width, positions[j]);
      ones[j] = true;
      if constexpr (weighted) {
        columns[j].stride = stride;
        for (std::int64_t a = 0; a < counts[j]; ++a) {
          columns[j].at[a] = w_cols + (first + positions[j][a]) * stride;
          weights[j][a] = static_cast<T>(x[positions[j][a]]);
          ones[j] = ones[j] && weights[j][a] == T(1);
        }
      } else {
        columns[j] = {w_cols + first * stride, positions[j], stride};
      }
    };
    // The inputs lie apart (one per step and sample, read from memory): the block of an
    // input two ahead is fetched while this one is summed.
    const auto prefetch_block = [&](std::int64_t ahead) {
      if (ahead < count)
        for (std::int64_t at = 0; at < width; at += 64 / static_cast<std::int64_t>(sizeof(X)))
          __builtin_prefetch(xs[ahead] + first + at);
    };
    std::int64_t k = 0;
    if (narrow)
      for (; k + interleaved <= count; k += interleaved) {
        for (int j = 0; j < interleaved; ++j) prefetch_block(k + interleaved + j);
        for (int j = 0; j < interleaved; ++j) gather(k + j, j);
        if (std::all_of(ones, ones + interleaved, [](bool one) { return one; }))
          accumulate_interleaved<false>(columns, weights, counts, ys + k, from_zero);
        else
          accumulate_interleaved<weighted>(columns, weights, counts, ys + k, from_zero);
      }
    for (; k < count; ++k) {
      prefetch_block(k + 2);
      gather(k, 0);
      if (counts[0] == 0 && !from_zero) continue;
      if (ones[0])
        accumulate<false>(columns[0], weights[0], counts[0], ys[k], from_zero);
      else
        accumulate<weighted>(columns[0], weights[0], counts[0], ys[k], from_zero);
    }
  }
}

}  // namespace

__attribute__((target_clones("avx512f", "avx2", "default"))) void matvec(const float* w,
                                                                         const float* x, float* y,
                                                                         std::int64_t rows,
                                                                         std::int64_t cols) {
  matvec_rows(w, x, y, rows, cols);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void matvec(const double* w,
                                                                         const double* x, double* y,
                                                                         std::int64_t rows,
                                                                         std::int64_t cols) {
  matvec_rows(w, x, y, rows, cols);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void matvec_batch(
    const float* w, const float* const* xs, float* const* ys, std::int64_t count, std::int64_t rows,
    std::int64_t cols) {
  matvec_batch_rows(w, xs, ys, count, rows, cols);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void matvec_batch(
    const double* w, const double* const* xs, double* const* ys, std::int64_t count,
    std::int64_t rows, std::int64_t cols) {
  matvec_batch_rows(w, xs, ys, count, rows, cols);
}

bool spike_matvec_batch_of_bits(const float* w_cols, const std::uint16_t* bits, std::int64_t count,
                                std::int64_t rows, std::int64_t cols, float* const* ys) {
#if defined(__x86_64__)
  return cols % 16 == 0 && has_avx512_and_bmi() &&
         spike_sums_by_masks(w_cols, SpikeBits{bits, cols / 16}, ys, count, column_stride(rows),
                             cols);
#else
  return false;
#endif
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void spike_matvec(
    const float* w_cols, const float* spikes, float* y, std::int64_t rows, std::int64_t cols) {
  columns_batch_rows<false>(w_cols, &spikes, &y, 1, rows, cols);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void spike_matvec(
    const double* w_cols, const float* spikes, double* y, std::int64_t rows, std::int64_t cols) {
  columns_batch_rows<false>(w_cols, &spikes, &y, 1, rows, cols);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void weighted_column_matvec(
    const float* w_cols, const float* x, float* y, std::int64_t rows, std::int64_t cols) {
  columns_batch_rows<true>(w_cols, &x, &y, 1, rows, cols);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void weighted_column_matvec(
    const double* w_cols, const double* x, double* y, std::int64_t rows, std::int64_t cols) {
  columns_batch_rows<true>(w_cols, &x, &y, 1, rows, cols);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void spike_matvec_batch(
    const float* w_cols, const float* const* spikes, float* const* ys, std::int64_t count,
    std::int64_t rows, std::int64_t cols) {
  columns_batch_rows<false>(w_cols, spikes, ys, count, rows, cols);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void spike_matvec_batch(
    const double* w_cols, const float* const* spikes, double* const* ys, std::int64_t count,
    std::int64_t rows, std::int64_t cols) {
  columns_batch_rows<false>(w_cols, spikes, ys, count, rows, cols);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void weighted_column_matvec_batch(
    const float* w_cols, const float* const* xs, float* const* ys, std::int64_t count,
    std::int64_t rows, std::int64_t cols) {
  columns_batch_rows<true>(w_cols, xs, ys, count, rows, cols);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void weighted_column_matvec_batch(
    const double* w_cols, const double* const* xs, double* const* ys, std::int64_t count,
    std::int64_t rows, std::int64_t cols) {
  columns_batch_rows<true>(w_cols, xs, ys, count, rows, cols);
}

}  // namespace zelka::engine
