// Plain result records: named fields with defaults (a new dict or list per record),
// keyword or positional construction, field-wise ==, a field-listing repr and pickling.
#pragma once

#include <vector>

#include "host/python.hpp"

namespace zelka::host {

struct RecordField {
  const char* name;
  nb::object (*make_default)();
};

struct RecordLayout {
  const char* name;
  const char* doc;
  std::vector<RecordField> fields;
};

// Default factories.
nb::object new_dict();
nb::object new_list();
nb::object none_value();
nb::object zero_int();
nb::object zero_float();
nb::object true_value();
nb::object false_value();
nb::object empty_str();

// A record's fields take their defaults when first read: a record's maker sets most of
// them, and defaults made up front (a new dict or list each) would mostly be thrown away.
class Record {
 public:
  explicit Record(const RecordLayout* layout);
  const RecordLayout& layout() const { return *layout_; }
  nb::object& operator[](std::size_t i) { return made(i); }
  const nb::object& operator[](std::size_t i) const { return made(i); }
  std::size_t index_of(const char* field) const;
  nb::object& field(const char* name) { return made(index_of(name)); }
  // Sets a field without making its default first.
  void set(std::size_t i, nb::object value) { values_[i] = std::move(value); }
  void set(const char* name, nb::object value) { set(index_of(name), std::move(value)); }
  // Every field's value.
  std::vector<nb::object>& values();
  // The values as held, null for a field not yet set or read (for the garbage collector).
  std::vector<nb::object>& held_values() { return values_; }

 private:
  nb::object& made(std::size_t i) const;

  const RecordLayout* layout_;
  mutable std::vector<nb::object> values_;
};

namespace detail {
int record_traverse(PyObject* self, visitproc visit, void* arg);
int record_clear(PyObject* self);
void define_record_methods(nb::handle cls, const RecordLayout& layout);

// The field values given to a record's constructor, checked before the record is built:
// one entry per field, invalid where the field takes its default.  TypeError for too
// many positional arguments and for unknown or repeated keywords.
std::vector<nb::object> record_arguments(const RecordLayout& layout, nb::args args,
                                         nb::kwargs kwargs);

// The record behind `self`; TypeError when it was never initialised (made with __new__
// alone).
Record& initialised_record(nb::handle self);
}  // namespace detail

// Bind the record type T (a class derived from Record whose default constructor passes
// its layout) as `layout.name` in `module`.
template <typename T>
nb::class_<T> bind_record(nb::module_& module, const RecordLayout& layout) {
  static PyType_Slot slots[] = {{Py_tp_traverse, (void*)detail::record_traverse},
                                {Py_tp_clear, (void*)detail::record_clear},
                                {0, nullptr}};
  nb::class_<T> cls(module, layout.name, nb::type_slots(slots), layout.doc);
  const RecordLayout* s = &layout;
  cls.def("__init__", [s](T* self, nb::args args, nb::kwargs kwargs) {
    std::vector<nb::object> given = detail::record_arguments(*s, args, kwargs);
    new (self) T();
    for (std::size_t i = 0; i < given.size(); ++i)
      if (given[i].is_valid()) self->set(i, std::move(given[i]));
  });
  for (std::size_t i = 0; i < layout.fields.size(); ++i) {
    cls.def_prop_rw(
        layout.fields[i].name, [i](nb::handle self) { return detail::initialised_record(self)[i]; },
        [i](nb::handle self, nb::object value) {
          detail::initialised_record(self).set(i, std::move(value));
        });
  }
  detail::define_record_methods(cls, layout);
  return cls;
}

}  // namespace zelka::host
