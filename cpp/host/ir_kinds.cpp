#include "host/ir_kinds.hpp"

#include <vector>

namespace zelka::host {
namespace {

// The kinds' class names as interned str objects, made once (kept for the life of the
// process, as interned str objects are).
const std::array<nb::object, kind_count>& kind_names() {
  static const auto* names = [] {
    auto* made = new std::array<nb::object, kind_count>();
    for (std::size_t k = 0; k < kind_count; ++k) (*made)[k] = interned(kind_name(Kind(k)));
    return made;
  }();
  return *names;
}

// The classes zelka.ir defined when it was first read, kept for the life of the process.
// Their instances keep object's __class__, so that type(node) says what a node is.
const std::vector<nb::object>* ir_classes = nullptr;

void remember_ir_classes(nb::handle ir) {
  auto* classes = new std::vector<nb::object>();
  for (const zelka::ir::KindInfo& kind : zelka::ir::kinds)
    if (PyObject* cls =
            PyObject_GetAttr(ir.ptr(), kind_names()[static_cast<std::size_t>(kind.kind)].ptr());
        cls && PyType_Check(cls))
      classes->push_back(nb::steal(cls));
    else
      PyErr_Clear();
  ir_classes = classes;
}

bool is_ir_class(PyTypeObject* type) {
  for (const nb::object& cls : *ir_classes)
    if (cls.ptr() == reinterpret_cast<PyObject*>(type)) return true;
  return false;
}

}  // namespace

IrKinds IrKinds::load(std::span<const Kind> kinds) {
  nb::module_ ir = imported("zelka.ir");
  if (!ir_classes) remember_ir_classes(ir);
  IrKinds loaded;
  // The module's namespace answers first (a plain dict lookup); what it lacks goes through
  // the module's attribute lookup, as `from zelka.ir import ...` would.
  PyObject* namespace_ = PyModule_Check(ir.ptr()) ? PyModule_GetDict(ir.ptr()) : nullptr;
  for (Kind kind : kinds) {
    const char* name = kind_name(kind);
    const nb::object& key = kind_names()[static_cast<std::size_t>(kind)];
    nb::object cls =
        namespace_ ? nb::borrow(PyDict_GetItemWithError(namespace_, key.ptr())) : nb::object();
    if (!cls.is_valid() && PyErr_Occurred()) throw nb::python_error();
    if (!cls.is_valid()) cls = nb::steal(PyObject_GetAttr(ir.ptr(), key.ptr()));
    if (!cls.is_valid()) {
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from 'zelka.ir'", name);
      throw nb::python_error();
    }
    loaded.classes_[static_cast<std::size_t>(kind)] = std::move(cls);
  }
  return loaded;
}

bool IrKinds::is_exactly_loaded(nb::handle node) const {
  for (const nb::object& cls : classes_)
    if (cls.is_valid() && node.type().is(cls)) return true;
  return false;
}

bool IrKinds::is(nb::handle node, Kind kind) const {
  // A node of an IR class against a class of the plain metaclass: a subtype test decides,
  // without the __class__ lookup isinstance makes before it answers no.
  const nb::object& kind_class = cls(kind);
  if (PyType_CheckExact(kind_class.ptr()) && is_ir_class(Py_TYPE(node.ptr())))
    return PyType_IsSubtype(Py_TYPE(node.ptr()),
                            reinterpret_cast<PyTypeObject*>(kind_class.ptr())) != 0;
  return is_instance(node, kind_class);
}

}  // namespace zelka::host
