// The node kinds of the graph IR: one table of their class names, and the classes
// themselves, bound from zelka.ir by the operations that test nodes against them.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>

#include "host/python.hpp"

namespace zelka::host {

enum class Kind : std::uint8_t {
  input,
  output,
  affine,
  spiking_affine,
  conv1d,
  conv2d,
  sep_conv2d,
  max_pool2d,
  avg_pool2d,
  batch_norm1d,
  batch_norm2d,
  lif,
  relu,
  sigmoid,
  tanh,
  softmax,
  gelu,
  elu,
  prelu,
  layer_norm,
  dropout,
  hybrid_region,
  skip,
  upsample,
  flatten,
};

inline constexpr std::size_t kind_count = static_cast<std::size_t>(Kind::flatten) + 1;

// The IR class name of a kind ("LIF", "MaxPool2d", ...).
const char* kind_name(Kind kind);

// IR classes bound from zelka.ir.  Only the kinds asked for are bound; testing a node
// against any other kind is a programming error.
class IrKinds {
 public:
  // Import the classes of `kinds` from zelka.ir; a missing one raises the host's
  // ImportError "cannot import name '{name}' from 'zelka.ir'".
  static IrKinds load(std::initializer_list<Kind> kinds);

  // isinstance(node, the kind's class): a subclass counts as its base kind.
  bool is(nb::handle node, Kind kind) const;
  const nb::object& cls(Kind kind) const { return classes_[static_cast<std::size_t>(kind)]; }
  // type(node) is exactly one of the loaded classes (not a subclass): its attributes are
  // plain instance values, with no property or other descriptor of a subclass in between.
  bool is_exactly_loaded(nb::handle node) const;

 private:
  std::array<nb::object, kind_count> classes_;
};

}  // namespace zelka::host
