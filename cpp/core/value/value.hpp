// An ordered, JSON-like value: what configuration maps and layer descriptions are made
// of.  Maps keep their insertion order, which is visible in every output.
//
// Values may nest to any depth: copying, comparing and destroying walk the tree with an
// explicit work list, never with the call stack.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace zelka::value {

struct Value;

using List = std::vector<Value>;

struct Tuple {
  std::vector<Value> items;
};

struct Map {
  std::vector<std::pair<Value, Value>> entries;

  // Insert or replace; a replaced key keeps its position.
  void set(Value key, Value v);
  void erase(const Value& key);
  const Value* find(const Value& key) const;
  bool empty() const { return entries.empty(); }
};

// An integer outside the int64 range, as its decimal digits with a leading '-' when it is
// negative.  Integers inside the range are always held as std::int64_t, so every integer
// has exactly one form and equal integers compare equal.
struct BigInt {
  std::string digits;
};

// A host value the model does not interpret: its text form, and a number by which the
// host that made it can find the original again (0: none).
struct Opaque {
  std::string text;
  std::size_t host_id = 0;
};

struct Null {};

struct Value {
  std::variant<Null, bool, std::int64_t, BigInt, double, std::string, List, Tuple, Map, Opaque>
      data;

  Value() = default;
  Value(Null) {}
  Value(bool b) : data(b) {}
  Value(int i) : data(static_cast<std::int64_t>(i)) {}
  Value(std::int64_t i) : data(i) {}
  Value(BigInt b) : data(std::move(b)) {}
  Value(double d) : data(d) {}
  Value(const char* s) : data(std::string(s)) {}
  Value(std::string s) : data(std::move(s)) {}
  Value(List l) : data(std::move(l)) {}
  Value(Tuple t) : data(std::move(t)) {}
  Value(Map m) : data(std::move(m)) {}
  Value(Opaque o) : data(std::move(o)) {}

  Value(const Value& other);
  Value(Value&& other) noexcept = default;
  Value& operator=(const Value& other);
  Value& operator=(Value&& other) noexcept = default;
  ~Value();

  template <typename T>
  bool is() const {
    return std::holds_alternative<T>(data);
  }
  template <typename T>
  const T& as() const {
    return std::get<T>(data);
  }
  template <typename T>
  T& as() {
    return std::get<T>(data);
  }

  bool operator==(const Value& other) const;
};

// The direct children of a container value, in order: a list's or a tuple's items, a map's
// entries as key, value, key, value, ...; a scalar has none.
std::size_t child_count(const Value& v);
const Value& child(const Value& v, std::size_t i);

}  // namespace zelka::value
