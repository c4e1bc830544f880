#include "host/python.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <unordered_map>

#include "core/errors.hpp"

namespace zelka::host {

std::string utf8(nb::handle str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
  if (!data) throw nb::python_error();
  return std::string(data, static_cast<std::size_t>(size));
}

std::string utf8_surrogates_passed(nb::handle str) {
  // Text without lone surrogates: the UTF-8 form the string keeps.
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size))
    return std::string(data, static_cast<std::size_t>(size));
  PyErr_Clear();
  nb::object bytes = steal_or_raise(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
  return std::string(PyBytes_AS_STRING(bytes.ptr()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

nb::str str_from_utf8_surrogates_passed(std::string_view text) {
  return nb::steal<nb::str>(
      steal_or_raise(
          PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"))
          .release());
}

std::string type_name_of(nb::handle obj) {
  return utf8(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__"));
}

nb::object steal_or_raise(PyObject* result) {
  if (!result) throw nb::python_error();
  return nb::steal(result);
}

std::string repr_text(nb::handle obj) {
  return utf8(steal_or_raise(PyObject_Repr(obj.ptr())));
}

std::string str_text(nb::handle obj) {
  return utf8(steal_or_raise(PyObject_Str(obj.ptr())));
}

nb::object add(nb::handle a, nb::handle b) {
  return steal_or_raise(PyNumber_Add(a.ptr(), b.ptr()));
}
nb::object subtract(nb::handle a, nb::handle b) {
  return steal_or_raise(PyNumber_Subtract(a.ptr(), b.ptr()));
}
nb::object multiply(nb::handle a, nb::handle b) {
  return steal_or_raise(PyNumber_Multiply(a.ptr(), b.ptr()));
}
nb::object true_divide(nb::handle a, nb::handle b) {
  return steal_or_raise(PyNumber_TrueDivide(a.ptr(), b.ptr()));
}
nb::object inplace_add(nb::handle a, nb::handle b) {
  return steal_or_raise(PyNumber_InPlaceAdd(a.ptr(), b.ptr()));
}
nb::object compare(nb::handle a, nb::handle b, int op) {
  return steal_or_raise(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

bool truth(nb::handle obj) {
  int r = PyObject_IsTrue(obj.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

bool equal(nb::handle a, nb::handle b) {
  return truth(compare(a, b, Py_EQ));
}

nb::object getitem(nb::handle obj, nb::handle key) {
  return steal_or_raise(PyObject_GetItem(obj.ptr(), key.ptr()));
}

std::vector<nb::object> unpack(nb::handle obj, std::size_t count, UnpackWording wording) {
  // A tuple or list of the right length gives its items, as iterating it would.
  if ((PyTuple_CheckExact(obj.ptr()) || PyList_CheckExact(obj.ptr())) &&
      static_cast<std::size_t>(PySequence_Fast_GET_SIZE(obj.ptr())) == count) {
    std::vector<nb::object> items;
    items.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
      items.push_back(nb::borrow(PySequence_Fast_GET_ITEM(obj.ptr(), static_cast<Py_ssize_t>(i))));
    return items;
  }
  PyObject* iterator = PyObject_GetIter(obj.ptr());
  if (!iterator) {
    PyErr_Clear();
    throw nb::type_error(("cannot unpack non-iterable " + type_name_of(obj) + " object").c_str());
  }
  nb::object it = nb::steal(iterator);
  std::vector<nb::object> items;
  while (items.size() <= count) {
    PyObject* item = PyIter_Next(it.ptr());
    if (!item) {
      if (PyErr_Occurred()) throw nb::python_error();
      break;
    }
    items.push_back(nb::steal(item));
  }
  if (items.size() > count)
    throw nb::value_error(
        ("too many values to unpack (expected " + std::to_string(count) + ")").c_str());
  if (items.size() < count) {
    const std::string got = std::to_string(items.size());
    if (wording == UnpackWording::counted)
      throw nb::value_error(
          ("need more than " + got + (items.size() == 1 ? " value" : " values") + " to unpack")
              .c_str());
    throw nb::value_error(
        ("not enough values to unpack (expected " + std::to_string(count) + ", got " + got + ")")
            .c_str());
  }
  return items;
}

namespace {

// The interned str of `text` from the map of every text seen, made on first sight.
nb::object interned_by_text(std::string_view text) {
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view t) const { return std::hash<std::string_view>{}(t); }
  };
  // Kept for the life of the process, as the str objects are.
  static auto* known = new std::unordered_map<std::string, nb::object, TextHash, std::equal_to<>>();
  if (const auto hit = known->find(text); hit != known->end()) return hit->second;
  nb::object str = steal_or_raise(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  PyObject* ptr = str.release().ptr();
  PyUnicode_InternInPlace(&ptr);
  nb::object result = nb::steal(ptr);
  if (known->size() < 4096) known->emplace(std::string(text), result);
  return result;
}

}  // namespace

nb::object interned(std::string_view text) {
  // Most texts are literals, asked for again and again from the same address: a small table
  // by address (the text compared too, since an address may be reused for another text)
  // answers them without hashing the text.  Callers hold the GIL, which serialises it.
  struct Recent {
    const char* data = nullptr;
    std::string text;
    nb::object str;
  };
  static auto* recent = new std::array<Recent, 256>();
  const auto address = reinterpret_cast<std::uintptr_t>(text.data());
  Recent& slot = (*recent)[((address >> 3) ^ (address >> 11) ^ text.size()) & 255];
  if (slot.data == text.data() && slot.text == text) return slot.str;
  nb::object result = interned_by_text(text);
  slot = Recent{text.data(), std::string(text), result};
  return result;
}

nb::module_ imported(const char* name) {
  // (None in sys.modules stops an import with ImportError: the import machinery says so.)
  PyObject* loaded = PyDict_GetItemWithError(PyImport_GetModuleDict(), interned(name).ptr());
  if (!loaded && PyErr_Occurred()) throw nb::python_error();
  if (loaded && loaded != Py_None) return nb::borrow<nb::module_>(loaded);
  return nb::module_::import_(name);
}

bool is_instance(nb::handle obj, nb::handle cls) {
  int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

nb::object os_error_object(const zelka::OSError& error) {
  nb::object path = steal_or_raise(PyUnicode_DecodeFSDefaultAndSize(
      error.path.data(), static_cast<Py_ssize_t>(error.path.size())));
  return steal_or_raise(
      PyObject_CallFunction(PyExc_OSError, "isO", error.error_number, error.what(), path.ptr()));
}

void run_signal_handlers() {
  if (PyErr_CheckSignals() != 0) throw nb::python_error();
}

void run_signal_handlers_unlocked() {
  nb::gil_scoped_acquire acquire;
  run_signal_handlers();
}

void register_core_exceptions() {
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const zelka::ValueError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const zelka::KeyError& e) {
      PyErr_SetString(PyExc_KeyError, e.what());
    } catch (const zelka::TypeError& e) {
      PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const zelka::ZeroDivisionError& e) {
      PyErr_SetString(PyExc_ZeroDivisionError, e.what());
    } catch (const zelka::OverflowError& e) {
      PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const zelka::OSError& e) {
      try {
        nb::object error = os_error_object(e);
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
      } catch (nb::python_error& failed) {
        failed.restore();
      }
    }
  });
}

}  // namespace zelka::host
