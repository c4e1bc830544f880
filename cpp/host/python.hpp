// Shared helpers for code that works with Python objects.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelka {
struct OSError;
}

namespace zelka::host {

namespace nb = nanobind;

// The UTF-8 text of a str; the host's UnicodeEncodeError for one that has none (a lone
// surrogate such as "\ud800").
std::string utf8(nb::handle str);

// Text that passes through the core and back to the host unchanged: UTF-8 in which lone
// surrogates are encoded like any other code point (the "surrogatepass" error handler).
std::string utf8_surrogates_passed(nb::handle str);
nb::str str_from_utf8_surrogates_passed(std::string_view text);

// type(obj).__name__
std::string type_name_of(nb::handle obj);

// Python's repr() and str() of an object, as text.
std::string repr_text(nb::handle obj);
std::string str_text(nb::handle obj);

// Raise the host exception `type` with the message str.format(format, args...), formatted
// by the host so that the texts of the arguments (names holding lone surrogates included)
// reach the message unchanged.
template <typename... Args>
[[noreturn]] void raise_formatted(PyObject* type, const char* format, Args&&... args) {
  nb::object message = nb::str(format).format(std::forward<Args>(args)...);
  PyErr_SetObject(type, message.ptr());
  throw nb::python_error();
}

// Runs the host's signal handlers and raises what a handler raises: KeyboardInterrupt on
// Ctrl-C.  The caller holds the interpreter lock.
void run_signal_handlers();

// The same from a thread that has released the interpreter lock (taken meanwhile).
void run_signal_handlers_unlocked();

// Steal a new reference returned by the C API; raises the pending Python error on null.
nb::object steal_or_raise(PyObject* result);

// The interned str of `text`, made once and kept for the life of the process: a lookup by
// it hashes no new string.  Texts are kept up to a bound, beyond which each call interns
// anew.  The caller holds the interpreter lock.
nb::object interned(std::string_view text);

// The module `name`, as an import statement gives it: the one sys.modules holds (a
// dictionary lookup, where the import machinery costs a microsecond per call), else
// imported now.
nb::module_ imported(const char* name);

// Python operators, raising the Python exception on failure.
nb::object add(nb::handle a, nb::handle b);
nb::object subtract(nb::handle a, nb::handle b);
nb::object multiply(nb::handle a, nb::handle b);
nb::object true_divide(nb::handle a, nb::handle b);
nb::object inplace_add(nb::handle a, nb::handle b);
nb::object compare(nb::handle a, nb::handle b, int op);
bool truth(nb::handle obj);
bool equal(nb::handle a, nb::handle b);

// obj[key]
nb::object getitem(nb::handle obj, nb::handle key);

// How unpacking reports a wrong number of items.
enum class UnpackWording {
  current,  // "not enough values to unpack (expected 3, got 2)"
  counted,  // "need more than 2 values to unpack"
};

// visit(key, value) for each item of `mapping` in its order, until visit returns false: an
// exact dict is walked in place (each key and value held while visited), anything else
// through its items().
template <typename Visit>
void for_each_item(nb::handle mapping, Visit visit) {
  if (PyDict_CheckExact(mapping.ptr())) {
    PyObject *key, *value;
    for (Py_ssize_t at = 0; PyDict_Next(mapping.ptr(), &at, &key, &value);) {
      const nb::object held_key = nb::borrow(key), held_value = nb::borrow(value);
      if (!visit(nb::handle(held_key), nb::handle(held_value))) return;
    }
    return;
  }
  for (nb::handle item : mapping.attr(interned("items"))())
    if (!visit(nb::handle(item[0]), nb::handle(item[1]))) return;
}

// `a, b, ... = obj` for `count` targets: the items, or ValueError/TypeError with the
// unpacking messages.
std::vector<nb::object> unpack(nb::handle obj, std::size_t count,
                               UnpackWording wording = UnpackWording::current);

bool is_instance(nb::handle obj, nb::handle cls);

// The host's OSError (or the subclass its errno selects, such as FileExistsError) for a
// core file-system error, with the path as the host's file name (os.fsdecode).
nb::object os_error_object(const zelka::OSError& error);

// Map core exceptions (zelka::ValueError, ..., zelka::OSError) to Python's; call once per
// module.
void register_core_exceptions();

}  // namespace zelka::host
