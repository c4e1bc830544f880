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

void Map::erase(const Value& key) {
  std::erase_if(entries, [&](const auto& entry) { return entry.first == key; });
}

const Value* Map::find(const Value& key) const {
  for (const auto& entry : entries)
    if (entry.first == key) return &entry.second;
  return nullptr;
}

std::size_t child_count(const Value& v) {
  if (v.is<List>()) return v.as<List>().size();
  if (v.is<Tuple>()) return v.as<Tuple>().items.size();
  if (v.is<Map>()) return 2 * v.as<Map>().entries.size();
  return 0;
}

const Value& child(const Value& v, std::size_t i) {
  if (v.is<List>()) return v.as<List>()[i];
  if (v.is<Tuple>()) return v.as<Tuple>().items[i];
  const auto& entry = v.as<Map>().entries[i / 2];
  return i % 2 == 0 ? entry.first : entry.second;
}

namespace {

// Calls `visit` on each direct child of a container value, in order (a map's entries as
// key then value); scalars have none.
template <typename V, typename Visit>
void for_each_child(V& v, Visit&& visit) {
  if (auto* list = std::get_if<List>(&v.data)) {
    for (auto& item : *list) visit(item);
  } else if (auto* tuple = std::get_if<Tuple>(&v.data)) {
    for (auto& item : tuple->items) visit(item);
  } else if (auto* map = std::get_if<Map>(&v.data)) {
    for (auto& [key, item] : map->entries) {
      visit(key);
      visit(item);
    }
  }
}

bool has_children(const Value& v) {
  if (const auto* list = std::get_if<List>(&v.data)) return !list->empty();
  if (const auto* tuple = std::get_if<Tuple>(&v.data)) return !tuple->items.empty();
  if (const auto* map = std::get_if<Map>(&v.data)) return !map->empty();
  return false;
}

// Moves the children of `v` to `out` and leaves `v` an empty container.
void detach_children(Value& v, std::vector<Value>& out) {
  for_each_child(v, [&](Value& child) { out.push_back(std::move(child)); });
  if (auto* list = std::get_if<List>(&v.data)) list->clear();
  if (auto* tuple = std::get_if<Tuple>(&v.data)) tuple->items.clear();
  if (auto* map = std::get_if<Map>(&v.data)) map->entries.clear();
}

// Equal when both are the same scalar, or containers of the same kind and size (their
// children are compared by the caller).
bool shallow_equal(const Value& a, const Value& b) {
  if (a.data.index() != b.data.index()) return false;
  return std::visit(
      [&](const auto& x) -> bool {
        using T = std::decay_t<decltype(x)>;
        const T& y = std::get<T>(b.data);
        if constexpr (std::is_same_v<T, Null>) {
          return true;
        } else if constexpr (std::is_same_v<T, List>) {
          return x.size() == y.size();
        } else if constexpr (std::is_same_v<T, Tuple>) {
          return x.items.size() == y.items.size();
        } else if constexpr (std::is_same_v<T, Map>) {
          return x.entries.size() == y.entries.size();
        } else if constexpr (std::is_same_v<T, BigInt>) {
          return x.digits == y.digits;
        } else if constexpr (std::is_same_v<T, Opaque>) {
          return x.text == y.text;
        } else {
          return x == y;
        }
      },
      a.data);
}

// `to` becomes a container of the same kind and size as `from` with null children, or a
// copy of `from` when it is a scalar.
void copy_shell(const Value& from, Value& to) {
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, List>) {
          to.data.emplace<List>(x.size());
        } else if constexpr (std::is_same_v<T, Tuple>) {
          to.data.emplace<Tuple>().items.resize(x.items.size());
        } else if constexpr (std::is_same_v<T, Map>) {
          to.data.emplace<Map>().entries.resize(x.entries.size());
        } else {
          to.data = x;
        }
      },
      from.data);
}

}  // namespace

Value::Value(const Value& other) {
  std::vector<std::pair<const Value*, Value*>> pending{{&other, this}};
  while (!pending.empty()) {
    const auto [from, to] = pending.back();
    pending.pop_back();
    copy_shell(*from, *to);
    std::vector<Value*> targets;
    for_each_child(*to, [&](Value& child) { targets.push_back(&child); });
    std::size_t i = 0;
    for_each_child(*from, [&](const Value& child) { pending.emplace_back(&child, targets[i++]); });
  }
}

Value& Value::operator=(const Value& other) {
  if (this != &other) *this = Value(other);
  return *this;
}

Value::~Value() {
  if (!has_children(*this)) return;
  std::vector<Value> pending;
  detach_children(*this, pending);
  while (!pending.empty()) {
    Value last = std::move(pending.back());
    pending.pop_back();
    detach_children(last, pending);
  }
}

bool Value::operator==(const Value& other) const {
  std::vector<std::pair<const Value*, const Value*>> pending{{this, &other}};
  while (!pending.empty()) {
    const auto [a, b] = pending.back();
    pending.pop_back();
    if (!shallow_equal(*a, *b)) return false;
    std::vector<const Value*> right;
    for_each_child(*b, [&](const Value& child) { right.push_back(&child); });
    std::size_t i = 0;
    for_each_child(*a, [&](const Value& child) { pending.emplace_back(&child, right[i++]); });
  }
  return true;
}

}  // namespace zelka::value
