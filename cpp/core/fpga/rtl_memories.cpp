#include "core/fpga/rtl_memories.hpp"

#include <cmath>

#include "core/fpga/rtl_top.hpp"

namespace zelka::fpga::rtl {
namespace {

// A memory word of lanes, each a field of bits, written as $readmemh reads it.
class Word {
 public:
  explicit Word(int width) : width_(width), limbs_((width + 63) / 64, 0) {}

  // Sets the `width` bits from `offset` on to `bits`.
  void set(int offset, int width, std::uint64_t bits) {
    for (int b = 0; b < width; ++b)
      if ((bits >> b) & 1U) limbs_[(offset + b) / 64] |= std::uint64_t{1} << ((offset + b) % 64);
  }

  // Hexadecimal digits, the highest first, enough for the word's width.
  std::string hex() const {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (int nibble = (width_ + 3) / 4 - 1; nibble >= 0; --nibble)
      out += digits[(limbs_[nibble * 4 / 64] >> (nibble * 4 % 64)) & 15U];
    return out;
  }

 private:
  int width_;
  std::vector<std::uint64_t> limbs_;
};

// The words of a layer's constants laid out by lanes: set_lane(word, offset, n) fills the lane
// of element n (word n / lanes, lane n % lanes, its bits from `offset` on) for every n below
// `size`; lanes past it stay zero.
std::string lanes_file(std::size_t words, std::size_t lanes, int lane_width, std::size_t size,
                       const auto& set_lane) {
  std::string out;
  for (std::size_t w = 0; w < words; ++w) {
    Word word(static_cast<int>(lanes) * lane_width);
    for (std::size_t l = 0; l < lanes && w * lanes + l < size; ++l)
      set_lane(word, static_cast<int>(l) * lane_width, w * lanes + l);
    out += word.hex() + "\n";
  }
  return out;
}

}  // namespace

std::uint64_t stored_bits(double value, const FixedType& type) {
  const auto raw = static_cast<std::int64_t>(std::ldexp(value, type.fractional_bits()));
  const std::uint64_t mask =
      type.width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << type.width) - 1;
  return static_cast<std::uint64_t>(raw) & mask;
}

snn::ProjectFiles memory_files(const snn::Network& net, const Design& design) {
  snn::ProjectFiles files;
  const std::size_t lanes = design.lanes;
  for (const DenseUnit& unit : design.dense) {
    const snn::Node& node = net.nodes[unit.node];
    // Word b * n_in + i: the weights of outputs b * out_lanes + l from input i.
    std::string weights;
    const int w = node.weight_type.width;
    const std::size_t block = unit.out_lanes;
    for (std::size_t b = 0; b < unit.blocks; ++b)
      for (std::size_t i = 0; i < node.n_in; ++i)
        weights += lanes_file(1, block, w, node.n_out - b * block,
                              [&](Word& word, int offset, std::size_t l) {
                                const double weight = node.weight[(b * block + l) * node.n_in + i];
                                word.set(offset, w, stored_bits(weight, node.weight_type));
                              });
    files.emplace_back("rtl/" + weights_file(node), std::move(weights));
    files.emplace_back("rtl/" + biases_file(node),
                       lanes_file(unit.out_words, lanes, node.bias_type.width, node.n_out,
                                  [&](Word& word, int offset, std::size_t o) {
                                    word.set(offset, node.bias_type.width,
                                             stored_bits(node.bias[o], node.bias_type));
                                  }));
  }
  if (design.lif.empty()) return files;
  // Each lane: {rest, threshold, decay}, the decay in the lowest bits.
  const FixedType &m = design.membrane, &d = design.decay;
  std::string constants;
  for (const LifLayer& layer : design.lif) {
    const snn::Node& node = net.nodes[layer.node];
    constants +=
        lanes_file(layer.words, lanes, 2 * m.width + d.width, node.neurons,
                   [&](Word& word, int offset, std::size_t n) {
                     word.set(offset, d.width, stored_bits(node.decay[n], d));
                     word.set(offset + d.width, m.width, stored_bits(node.threshold[n], m));
                     word.set(offset + d.width + m.width, m.width, stored_bits(node.rest[n], m));
                   });
  }
  files.emplace_back(std::string("rtl/") + lif_constants_file, std::move(constants));
  return files;
}

std::uint64_t weight_bits(const snn::Network& net, const Design& design) {
  std::uint64_t bits = 0;
  for (const DenseUnit& unit : design.dense)
    bits += static_cast<std::uint64_t>(unit.blocks) * unit.n_in * unit.out_lanes *
            static_cast<std::uint64_t>(net.nodes[unit.node].weight_type.width);
  return bits;
}

}  // namespace zelka::fpga::rtl
