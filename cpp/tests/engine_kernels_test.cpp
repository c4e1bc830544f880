// The engine's kernels against plain loops that compute each value in the order the kernels
// document: dense products (partial sums per vector lane, folded pairwise, then the tail),
// column sums of the active inputs in column order, and the LIF step's element-wise update.
// The values are not dyadic, so that any other order of the additions shows in the last bits,
// and the sizes are odd, so that the vector loops' tails are exercised.
#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/engine/lif.hpp"
#include "core/engine/matvec.hpp"
#include "core/engine/transpose.hpp"

namespace {

using namespace zelka::engine;
namespace rules = zelka::rules;

template <typename T>
std::vector<T> random_values(std::size_t n, std::mt19937& rng, double zero_share = 0.0) {
  std::uniform_real_distribution<double> value(-1.7, 2.3), chance(0.0, 1.0);
  std::vector<T> out(n);
  for (T& x : out) x = chance(rng) < zero_share ? T(0) : static_cast<T>(value(rng) / 3.0);
  return out;
}

template <typename T>
bool same_bits(T a, T b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// The dot product in matvec's documented order: one partial sum per lane of a 64-byte vector
// (lane k adds the products k, k + lanes, ...), the partials folded pairwise (k plus k + half),
// then plus the sum of the products past the last whole vector.
template <typename T>
T reference_dot(const T* a, const T* b, std::int64_t n) {
  constexpr int lanes = 64 / sizeof(T);
  T partial[lanes] = {};
  std::int64_t i = 0;
  for (; i + lanes <= n; i += lanes)
    for (int k = 0; k < lanes; ++k) partial[k] += a[i + k] * b[i + k];
  T tail = 0;
  for (; i < n; ++i) tail += a[i] * b[i];
  for (int width = lanes / 2; width >= 1; width /= 2)
    for (int k = 0; k < width; ++k) partial[k] = partial[k] + partial[k + width];
  return partial[0] + tail;
}

template <typename T>
std::vector<T> reference_matvec(const std::vector<T>& w, const std::vector<T>& x, std::int64_t rows,
                                std::int64_t cols) {
  std::vector<T> y(rows);
  for (std::int64_t r = 0; r < rows; ++r) y[r] = reference_dot(&w[r * cols], x.data(), cols);
  return y;
}

// The column-major copy the column sums read: [cols, column_stride(rows)], padded with zeros.
template <typename T>
std::vector<T> columns_of(const std::vector<T>& w, std::int64_t rows, std::int64_t cols) {
  const std::int64_t stride = column_stride(rows);
  std::vector<T> w_cols(cols * stride, T(0));
  for (std::int64_t r = 0; r < rows; ++r)
    for (std::int64_t c = 0; c < cols; ++c) w_cols[c * stride + r] = w[r * cols + c];
  return w_cols;
}

// From +0.0, the columns of the nonzero inputs added in ascending order, each weighted by its
// input (or, for spikes, added as they are).
template <typename T, typename X>
std::vector<T> reference_columns(const std::vector<T>& w, const std::vector<X>& x,
                                 std::int64_t rows, std::int64_t cols, bool weighted) {
  std::vector<T> y(rows, T(0));
  for (std::int64_t c = 0; c < cols; ++c) {
    if (x[c] == X(0)) continue;
    for (std::int64_t r = 0; r < rows; ++r)
      y[r] += weighted ? static_cast<T>(x[c]) * w[r * cols + c] : w[r * cols + c];
  }
  return y;
}

// The first expected.size() values of `actual`, compared bit for bit.
template <typename T>
void require_same_rows(const T* actual, const std::vector<T>& expected) {
  for (std::size_t r = 0; r < expected.size(); ++r) {
    INFO("row " << r << ": " << actual[r] << " against " << expected[r]);
    CHECK(same_bits(actual[r], expected[r]));
  }
}

// Each vector's data, as the batch kernels take them.
template <typename Vectors>
auto pointers(Vectors& vectors) {
  std::vector<decltype(vectors.front().data())> out;
  for (auto& v : vectors) out.push_back(v.data());
  return out;
}

struct Size {
  std::int64_t rows, cols;
};
// Odd sizes below, at and across the vector widths (8 doubles, 16 floats) and the blocks of
// 64 columns the column sums take at a time.
const Size sizes[] = {{1, 1},   {3, 5}, {17, 33},  {31, 64},  {7, 129},
                      {65, 47}, {2, 1}, {10, 128}, {120, 70}, {40, 48}};

// check(size, weight, rng) for each size, with a random [rows, cols] weight.
template <typename T, typename Check>
void for_each_size(unsigned seed, const Check& check) {
  std::mt19937 rng(seed);
  for (const Size s : sizes) {
    CAPTURE(s.rows);
    CAPTURE(s.cols);
    check(s, random_values<T>(s.rows * s.cols, rng), rng);
  }
}

template <typename T>
void check_products() {
  for_each_size<T>(7, [](const Size s, const std::vector<T>& w, std::mt19937& rng) {
    std::vector<std::vector<T>> xs;
    for (int k = 0; k < 5; ++k) xs.push_back(random_values<T>(s.cols, rng, 0.25));
    std::vector<T> y(s.rows);
    matvec(w.data(), xs[0].data(), y.data(), s.rows, s.cols);
    require_same_rows(y.data(), reference_matvec(w, xs[0], s.rows, s.cols));

    // A batch gives each input what matvec gives it alone, whichever group of inputs the
    // kernel takes it in.
    std::vector<std::vector<T>> ys(xs.size(), std::vector<T>(s.rows));
    matvec_batch(w.data(), pointers(xs).data(), pointers(ys).data(),
                 static_cast<std::int64_t>(xs.size()), s.rows, s.cols);
    for (std::size_t k = 0; k < xs.size(); ++k)
      require_same_rows(ys[k].data(), reference_matvec(w, xs[k], s.rows, s.cols));
  });
}

template <typename T>
void check_column_sums() {
  for_each_size<T>(11, [](const Size s, const std::vector<T>& w, std::mt19937& rng) {
    const std::vector<T> w_cols = columns_of(w, s.rows, s.cols);
    const std::int64_t stride = column_stride(s.rows);
    std::vector<std::vector<float>> spikes;
    std::vector<std::vector<T>> xs;
    for (int k = 0; k < 6; ++k) {
      std::vector<float> train(s.cols);
      // (input 1 fires everywhere and input 2 nowhere: sums taken side by side run out of
      // columns at different times)
      for (float& spike : train) spike = k == 1 || (k != 2 && rng() % 3 == 0) ? 1.0f : 0.0f;
      spikes.push_back(train);
      xs.push_back(random_values<T>(s.cols, rng, 0.7));
    }
    // The outputs have room for the padded column; the padding's values are not compared.
    std::vector<T> y(stride);
    spike_matvec(w_cols.data(), spikes[0].data(), y.data(), s.rows, s.cols);
    require_same_rows(y.data(), reference_columns(w, spikes[0], s.rows, s.cols, false));
    weighted_column_matvec(w_cols.data(), xs[0].data(), y.data(), s.rows, s.cols);
    require_same_rows(y.data(), reference_columns(w, xs[0], s.rows, s.cols, true));

    std::vector<std::vector<T>> spike_out(spikes.size(), std::vector<T>(stride)),
        weighted_out(xs.size(), std::vector<T>(stride));
    const auto count = static_cast<std::int64_t>(spikes.size());
    spike_matvec_batch(w_cols.data(), pointers(spikes).data(), pointers(spike_out).data(), count,
                       s.rows, s.cols);
    weighted_column_matvec_batch(w_cols.data(), pointers(xs).data(), pointers(weighted_out).data(),
                                 count, s.rows, s.cols);
    for (std::size_t k = 0; k < spikes.size(); ++k) {
      CAPTURE(k);
      require_same_rows(spike_out[k].data(),
                        reference_columns(w, spikes[k], s.rows, s.cols, false));
      require_same_rows(weighted_out[k].data(), reference_columns(w, xs[k], s.rows, s.cols, true));
    }
    // The same spikes as the bits a LIF writes, where that kernel applies.
    if constexpr (std::is_same_v<T, float>) {
      if (s.cols % 16 != 0) return;
      const std::int64_t words = s.cols / 16;
      std::vector<std::uint16_t> bits(spikes.size() * static_cast<std::size_t>(words));
      for (std::size_t k = 0; k < spikes.size(); ++k)
        for (std::int64_t j = 0; j < s.cols; ++j)
          if (spikes[k][j] != 0.0f) bits[k * words + j / 16] |= std::uint16_t(1u << (j % 16));
      std::vector<std::vector<float>> bits_out(spikes.size(), std::vector<float>(stride));
      if (!spike_matvec_batch_of_bits(w_cols.data(), bits.data(), count, s.rows, s.cols,
                                      pointers(bits_out).data()))
        return;
      for (std::size_t k = 0; k < spikes.size(); ++k) {
        CAPTURE(k);
        require_same_rows(bits_out[k].data(),
                          reference_columns(w, spikes[k], s.rows, s.cols, false));
      }
    }
  });
}

}  // namespace

TEST_CASE("dense products add in the documented order, alone and in batches") {
  SUBCASE("float32") {
    check_products<float>();
  }
  SUBCASE("float64") {
    check_products<double>();
  }
}

TEST_CASE("a one-column product by a zero input is zero whatever the column holds") {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> w = {nan, std::numeric_limits<float>::infinity(), 0.3f};
  const float x = 0.0f;
  std::vector<float> y(3, 1.0f);
  matvec(w.data(), &x, y.data(), 3, 1);
  for (float v : y) CHECK(same_bits(v, 0.0f));
}

TEST_CASE("column sums add the active columns in column order, alone and in batches") {
  SUBCASE("float32") {
    check_column_sums<float>();
  }
  SUBCASE("float64") {
    check_column_sums<double>();
  }
}

template <typename T>
void check_transpose(std::int64_t rows, std::int64_t cols, std::mt19937& rng) {
  const std::vector<T> w = random_values<T>(static_cast<std::size_t>(rows * cols), rng);
  const std::int64_t stride = column_stride(rows);
  std::vector<T> out(static_cast<std::size_t>(cols * stride), T(0));
  CHECK(transpose_finite(w.data(), rows, cols, out.data(), stride));
  CHECK(out == columns_of(w, rows, cols));
  // a non-finite value anywhere (inside a vector block, in the last rows or columns) is seen
  for (std::int64_t at : {std::int64_t{0}, rows * cols / 2, rows * cols - 1})
    for (T bad : {std::numeric_limits<T>::infinity(), -std::numeric_limits<T>::quiet_NaN()}) {
      std::vector<T> v = w;
      v[static_cast<std::size_t>(at)] = bad;
      CHECK_FALSE(transpose_finite(v.data(), rows, cols, out.data(), stride));
    }
}

TEST_CASE("the column-major copy holds every weight and sees every non-finite one") {
  std::mt19937 rng(17);
  for (std::int64_t rows : {1, 7, 8, 9, 16, 24, 33})
    for (std::int64_t cols : {1, 8, 13, 40}) {
      CAPTURE(rows);
      CAPTURE(cols);
      check_transpose<float>(rows, cols, rng);
      check_transpose<double>(rows, cols, rng);
    }
}

TEST_CASE("sparse_enough takes an input with at most a third of its entries nonzero") {
  const std::vector<float> third = {1.5f, 0, 2, 0, 0, -0.0f};
  CHECK(sparse_enough(third.data(), 6));  // two of six (-0.0 is zero)
  CHECK_FALSE(sparse_enough(third.data(), 5));
  CHECK(sparse_enough(third.data(), 0));
}

namespace {

// A LIF layer of `neurons` neurons stepped for `samples` samples, its membranes in M.
template <typename M>
struct LifLayer {
  std::int64_t neurons, samples;
  std::vector<double> decay, leak, threshold;
  std::vector<M> membrane;
  std::vector<float> spikes, input;
  double lo, hi;

  LifLayer(std::int64_t n, std::int64_t s, std::mt19937& rng, double lo_bound, double hi_bound)
      : neurons(n), samples(s), lo(lo_bound), hi(hi_bound) {
    std::uniform_real_distribution<double> tau(1.3, 9.7), level(-0.4, 1.1);
    for (std::int64_t i = 0; i < n; ++i) {
      decay.push_back(1.0 - 1.0 / tau(rng));
      leak.push_back(level(rng) / 7.0);
      threshold.push_back(0.3 + level(rng) / 3.0);
    }
    membrane.resize(n * s);
    for (M& v : membrane) v = static_cast<M>(level(rng) / 3.0);
    spikes.assign(n * s, 0.0f);
    input = random_values<float>(n * s, rng);
  }

  rules::LifReset reset = rules::LifReset::to_leak;
  rules::LifFire fire = rules::LifFire::at_or_above;

  // One step of every sample through lif_steps; the spike totals per sample.
  std::vector<std::int64_t> step(bool with_input) {
    std::vector<Slot> slots(3);
    const DType membrane_type = sizeof(M) == 4 ? DType::f32 : DType::f64;
    slots[0] = {membrane_type, neurons, neurons, 0, membrane.data()};
    slots[1] = {DType::f32, neurons, neurons, 0, spikes.data()};
    slots[2] = {DType::f32, neurons, neurons, 0, input.data()};
    LifArgs args;
    args.membrane = 0;
    args.spikes = 1;
    args.input = with_input ? 2 : -1;
    args.neurons = neurons;
    args.decay = decay;
    args.v_leak = leak;
    args.v_threshold = threshold;
    args.reset_in_f32 = true;
    args.reset = reset;
    args.fire = fire;
    args.bounds.f32 = {static_cast<float>(lo), static_cast<float>(hi)};
    args.bounds.f64 = {lo, hi};
    prepare_lif(args, samples);
    std::vector<std::int64_t> totals(samples, 0);
    lif_steps(slots, args, 0, samples, 0, totals.data(), 1);
    return totals;
  }
};

// One neuron's step as the element-wise expressions compute it in the membrane's type M: the
// starting membrane compared (reset "subtract"), the leak toward v_leak, the input added, the
// threshold taken off where the start fired (a value of M), the clip to the bounds, the spike
// where the potential reaches (or passes) the float64 threshold, and (reset "v_leak") the reset
// v * (1 - s) + v_leak * s with v_leak * s in float32.
template <typename M>
M reference_lif(M v, float in, bool with_input, double decay, double leak, double threshold,
                double lo, double hi, rules::LifReset rule, rules::LifFire fire, float& spike) {
  const auto fires = [&](M value) {
    return fire == rules::LifFire::above ? static_cast<double>(value) > threshold
                                         : static_cast<double>(value) >= threshold;
  };
  const bool started_above = fires(v);
  const M d = static_cast<M>(decay), l = static_cast<M>(leak);
  v = d * (v - l) + l;
  if (with_input) v = v + static_cast<M>(in);
  if (rule == rules::LifReset::subtract && started_above) v = v - static_cast<M>(threshold);
  v = v > static_cast<M>(hi) ? static_cast<M>(hi) : v;
  v = v < static_cast<M>(lo) ? static_cast<M>(lo) : v;
  spike = fires(v) ? 1.0f : 0.0f;
  if (rule != rules::LifReset::to_leak) return v;
  const float reset = static_cast<float>(leak) * spike;
  return v * static_cast<M>(1.0f - spike) + static_cast<M>(reset);
}

template <typename M>
void check_lif(std::int64_t neurons, std::int64_t samples, bool with_input,
               rules::LifReset rule = rules::LifReset::to_leak,
               rules::LifFire fire = rules::LifFire::at_or_above) {
  std::mt19937 rng(static_cast<unsigned>(neurons * 31 + samples));
  LifLayer<M> layer(neurons, samples, rng, -0.125, 0.375);
  layer.reset = rule;
  layer.fire = fire;
  // Reset "subtract" takes off thresholds that are values of the membrane's type.
  if (rule == rules::LifReset::subtract)
    for (double& t : layer.threshold) t = static_cast<M>(t);
  std::vector<M> expected = layer.membrane;
  std::vector<float> expected_spikes(expected.size());
  std::vector<std::int64_t> expected_totals(samples, 0);
  for (std::int64_t s = 0; s < samples; ++s)
    for (std::int64_t i = 0; i < neurons; ++i) {
      const std::int64_t at = s * neurons + i;
      expected[at] =
          reference_lif(expected[at], layer.input[at], with_input, layer.decay[i], layer.leak[i],
                        layer.threshold[i], layer.lo, layer.hi, rule, fire, expected_spikes[at]);
      expected_totals[s] += expected_spikes[at] == 1.0f;
    }
  const std::vector<std::int64_t> totals = layer.step(with_input);
  CHECK(totals == expected_totals);
  for (std::size_t at = 0; at < expected.size(); ++at) {
    INFO("neuron " << at % neurons << " of sample " << at / neurons);
    CHECK(same_bits(layer.membrane[at], expected[at]));
    CHECK(layer.spikes[at] == expected_spikes[at]);
  }
}

}  // namespace

TEST_CASE("the LIF step leaks, integrates, clips, fires and resets every neuron of every sample") {
  // Small layers are stepped in groups of samples, large ones a sample at a time; layers of
  // whole vectors of neurons count each sample's spikes as they go, the others afterwards.
  for (const auto& [neurons, samples] :
       {std::pair{1, 1}, {3, 7}, {37, 5}, {301, 3}, {16, 40}, {32, 9}, {128, 3}}) {
    CAPTURE(neurons);
    CAPTURE(samples);
    check_lif<float>(neurons, samples, true);
    check_lif<float>(neurons, samples, false);
    check_lif<double>(neurons, samples, true);
  }
}

TEST_CASE("every reset rule and firing comparison steps as the element-wise expressions do") {
  using rules::LifFire;
  using rules::LifReset;
  for (const LifReset rule : {LifReset::to_leak, LifReset::subtract, LifReset::none})
    for (const LifFire fire : {LifFire::at_or_above, LifFire::above})
      for (const auto& [neurons, samples] : {std::pair{3, 7}, {301, 3}}) {
        CAPTURE(static_cast<int>(rule));
        CAPTURE(static_cast<int>(fire));
        CAPTURE(neurons);
        check_lif<float>(neurons, samples, true, rule, fire);
        check_lif<double>(neurons, samples, false, rule, fire);
      }
}

TEST_CASE("a float32 membrane fires exactly when it reaches the float64 threshold") {
  // Thresholds between two floats: the float just below must not fire, the one above must.
  std::mt19937 rng(3);
  LifLayer<float> layer(2, 1, rng, -10.0, 10.0);
  const double threshold = 0.1;  // not a float: 0.1f is above it
  const float below = std::nextafter(static_cast<float>(threshold), 0.0f);
  layer.decay = {1.0, 1.0};
  layer.leak = {0.0, 0.0};
  layer.threshold = {threshold, threshold};
  layer.membrane = {below, static_cast<float>(threshold)};
  REQUIRE(static_cast<double>(below) < threshold);
  REQUIRE(static_cast<double>(static_cast<float>(threshold)) > threshold);
  layer.step(false);
  CHECK(layer.spikes == std::vector<float>{0.0f, 1.0f});
}
