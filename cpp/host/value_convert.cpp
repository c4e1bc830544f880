#include "host/value_convert.hpp"

namespace zelka::host {

value::Value ValueConverter::to_value(nb::handle obj) {
  PyObject* o = obj.ptr();
  if (obj.is_none()) return value::Null{};
  if (PyBool_Check(o)) return o == Py_True;
  if (PyLong_CheckExact(o)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!overflow) return static_cast<std::int64_t>(v);
  } else if (PyFloat_CheckExact(o)) {
    return PyFloat_AsDouble(o);
  } else if (PyUnicode_CheckExact(o)) {
    return utf8(obj);
  } else if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    std::vector<value::Value> items;
    for (nb::handle item : obj) items.push_back(to_value(item));
    if (PyList_CheckExact(o)) return value::List(std::move(items));
    return value::Tuple{std::move(items)};
  } else if (PyDict_CheckExact(o)) {
    value::Map map;
    for (auto [key, item] : nb::borrow<nb::dict>(obj))
      map.entries.emplace_back(to_value(key), to_value(item));
    return map;
  }
  opaque_.push_back(nb::borrow(obj));
  return value::Opaque{str_text(obj), opaque_.size()};
}

nb::object ValueConverter::to_python(const value::Value& v) const {
  return std::visit(
      [this](const auto& x) -> nb::object {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, value::Null>) {
          return nb::none();
        } else if constexpr (std::is_same_v<T, bool>) {
          return nb::bool_(x);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return nb::int_(x);
        } else if constexpr (std::is_same_v<T, double>) {
          return nb::float_(x);
        } else if constexpr (std::is_same_v<T, std::string>) {
          return nb::str(x.data(), x.size());
        } else if constexpr (std::is_same_v<T, value::List>) {
          nb::list out;
          for (const value::Value& item : x) out.append(to_python(item));
          return out;
        } else if constexpr (std::is_same_v<T, value::Tuple>) {
          nb::list out;
          for (const value::Value& item : x.items) out.append(to_python(item));
          return nb::tuple(out);
        } else if constexpr (std::is_same_v<T, value::Map>) {
          nb::dict out;
          for (const auto& [key, item] : x.entries) out[to_python(key)] = to_python(item);
          return out;
        } else {
          if (x.host_id == 0 || x.host_id > opaque_.size())
            return nb::str(x.text.data(), x.text.size());
          return opaque_[x.host_id - 1];
        }
      },
      v.data);
}

}  // namespace zelka::host
