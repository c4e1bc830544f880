// The classes of the graph IR's node kinds (core/ir/node_kinds.hpp), bound from zelka.ir by
// the operations that test nodes against them.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "core/ir/node_kinds.hpp"
#include "host/python.hpp"

namespace zelka::host {

using Kind = zelka::ir::Kind;
using zelka::ir::kind_count;
using zelka::ir::kind_name;

// IR classes bound from zelka.ir.  Only the kinds asked for are bound; testing a node
// against any other kind is a programming error.
class IrKinds {
 public:
  // Import the classes of `kinds` from zelka.ir; a missing one raises the host's
  // ImportError "cannot import name '{name}' from 'zelka.ir'".
  static IrKinds load(std::span<const Kind> kinds);
  static IrKinds load(std::initializer_list<Kind> kinds) {
    return load(std::span<const Kind>(kinds.begin(), kinds.size()));
  }

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
