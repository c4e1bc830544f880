#include "core/value/value.hpp"

namespace zelka::value {

void Map::set(Value key, Value v) {
  for (auto& entry : entries) {
    if (entry.first == key) {
      entry.second = std::move(v);
      return;
    }
  }
  entries.emplace_back(std::move(key), std::move(v));
}

const Value* Map::find(const Value& key) const {
  for (const auto& entry : entries)
    if (entry.first == key) return &entry.second;
  return nullptr;
}

bool Value::operator==(const Value& other) const {
  if (data.index() != other.data.index()) return false;
  return std::visit(
      [&](const auto& a) -> bool {
        using T = std::decay_t<decltype(a)>;
        const T& b = std::get<T>(other.data);
        if constexpr (std::is_same_v<T, Null>) {
          return true;
        } else if constexpr (std::is_same_v<T, Tuple>) {
          return a.items == b.items;
        } else if constexpr (std::is_same_v<T, Map>) {
          return a.entries == b.entries;
        } else if constexpr (std::is_same_v<T, Opaque>) {
          return a.text == b.text;
        } else {
          return a == b;
        }
      },
      data);
}

}  // namespace zelka::value
