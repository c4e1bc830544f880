#include "host/value_convert.hpp"

namespace zelka::host {
namespace {

// One level of container nesting, counted against the interpreter's recursion limit.
class NestingLevel {
 public:
  NestingLevel() {
    if (Py_EnterRecursiveCall(" while converting a configuration value")) throw nb::python_error();
  }
  ~NestingLevel() { Py_LeaveRecursiveCall(); }
  NestingLevel(const NestingLevel&) = delete;
  NestingLevel& operator=(const NestingLevel&) = delete;
};

// A container being converted: its converted children so far.
struct PendingContainer {
  const value::Value* value;
  std::vector<nb::object> children;
};

nb::object assemble(const PendingContainer& p) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(p.children.size());
  if (p.value->is<value::Map>()) {
    nb::dict out;
    for (Py_ssize_t i = 0; i < n; i += 2)
      if (PyDict_SetItem(out.ptr(), p.children[i].ptr(), p.children[i + 1].ptr()) < 0)
        throw nb::python_error();
    return out;
  }
  const bool list = p.value->is<value::List>();
  nb::object out = steal_or_raise(list ? PyList_New(n) : PyTuple_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = p.children[i].inc_ref().ptr();
    if (list)
      PyList_SET_ITEM(out.ptr(), i, item);
    else
      PyTuple_SET_ITEM(out.ptr(), i, item);
  }
  return out;
}

}  // namespace

value::Value int_value(nb::handle exact_int) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(exact_int.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  if (!overflow) return static_cast<std::int64_t>(v);
  return value::BigInt{str_text(exact_int)};
}

std::string int_digits_limit_note() {
  return "(it converts at most " + str_text(imported("sys").attr("get_int_max_str_digits")()) +
         " digits; sys.set_int_max_str_digits raises the limit)";
}

value::Value ValueConverter::to_value(nb::handle obj) {
  PyObject* o = obj.ptr();
  if (obj.is_none()) return value::Null{};
  if (PyBool_Check(o)) return o == Py_True;
  if (PyLong_CheckExact(o)) return int_value(obj);
  if (PyFloat_CheckExact(o)) return PyFloat_AsDouble(o);
  if (PyUnicode_CheckExact(o)) return utf8(obj);
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    NestingLevel level;
    std::vector<value::Value> items;
    for (nb::handle item : obj) items.push_back(to_value(item));
    if (PyList_CheckExact(o)) return value::List(std::move(items));
    return value::Tuple{std::move(items)};
  }
  if (PyDict_CheckExact(o)) {
    NestingLevel level;
    value::Map map;
    nb::object items = steal_or_raise(PyDict_Items(o));
    for (nb::handle pair : items)
      map.entries.emplace_back(to_value(PyTuple_GET_ITEM(pair.ptr(), 0)),
                               to_value(PyTuple_GET_ITEM(pair.ptr(), 1)));
    return map;
  }
  opaque_.push_back(nb::borrow(obj));
  return value::Opaque{str_text(obj), opaque_.size()};
}

nb::object ValueConverter::to_python(const value::Value& root) const {
  std::vector<PendingContainer> pending;
  // The Python object of a scalar; a container is queued instead (null object).
  auto convert_or_queue = [&](const value::Value& v) {
    return std::visit(
        [&](const auto& x) -> nb::object {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, value::Null>) {
            return nb::none();
          } else if constexpr (std::is_same_v<T, bool>) {
            return nb::bool_(x);
          } else if constexpr (std::is_same_v<T, std::int64_t>) {
            return nb::int_(x);
          } else if constexpr (std::is_same_v<T, value::BigInt>) {
            return steal_or_raise(PyLong_FromString(x.digits.c_str(), nullptr, 10));
          } else if constexpr (std::is_same_v<T, double>) {
            return nb::float_(x);
          } else if constexpr (std::is_same_v<T, std::string>) {
            return nb::str(x.data(), x.size());
          } else if constexpr (std::is_same_v<T, value::Opaque>) {
            if (x.host_id == 0 || x.host_id > opaque_.size())
              return nb::str(x.text.data(), x.text.size());
            return opaque_[x.host_id - 1];
          } else {
            pending.push_back({&v, {}});
            return nb::object();
          }
        },
        v.data);
  };
  nb::object done = convert_or_queue(root);
  while (!pending.empty()) {
    PendingContainer& top = pending.back();
    if (done.is_valid()) top.children.push_back(std::move(done));
    if (top.children.size() == value::child_count(*top.value)) {
      done = assemble(top);
      pending.pop_back();
    } else {
      done = convert_or_queue(value::child(*top.value, top.children.size()));
    }
  }
  return done;
}

}  // namespace zelka::host
