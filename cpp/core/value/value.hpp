// An ordered, JSON-like value: what configuration maps and layer descriptions are made
// of.  Maps keep their insertion order, which is visible in every output.
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
  const Value* find(const Value& key) const;
  bool empty() const { return entries.empty(); }
};

// A host value the model does not interpret: its text form, and a number by which the
// host that made it can find the original again (0: none).
struct Opaque {
  std::string text;
  std::size_t host_id = 0;
};

struct Null {};

struct Value {
  std::variant<Null, bool, std::int64_t, double, std::string, List, Tuple, Map, Opaque> data;

  Value() = default;
  Value(Null) {}
  Value(bool b) : data(b) {}
  Value(int i) : data(static_cast<std::int64_t>(i)) {}
  Value(std::int64_t i) : data(i) {}
  Value(double d) : data(d) {}
  Value(const char* s) : data(std::string(s)) {}
  Value(std::string s) : data(std::move(s)) {}
  Value(List l) : data(std::move(l)) {}
  Value(Tuple t) : data(std::move(t)) {}
  Value(Map m) : data(std::move(m)) {}
  Value(Opaque o) : data(std::move(o)) {}

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

}  // namespace zelka::value
