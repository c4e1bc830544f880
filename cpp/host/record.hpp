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

class Record {
 public:
  explicit Record(const RecordLayout* layout);
  const RecordLayout& layout() const { return *layout_; }
  nb::object& operator[](std::size_t i) { return values_[i]; }
  const nb::object& operator[](std::size_t i) const { return values_[i]; }
  std::size_t index_of(const char* field) const;
  nb::object& field(const char* name) { return values_[index_of(name)]; }
  std::vector<nb::object>& values() { return values_; }

 private:
  const RecordLayout* layout_;
  std::vector<nb::object> values_;
};

namespace detail {
int record_traverse(PyObject* self, visitproc visit, void* arg);
int record_clear(PyObject* self);
void define_record_methods(nb::handle cls, const RecordLayout& layout);
}  // namespace detail

// Bind the record type T (a class derived from Record whose default constructor passes
// its layout) as `layout.name` in `module`.
template <typename T>
nb::class_<T> bind_record(nb::module_& module, const RecordLayout& layout) {
  static PyType_Slot slots[] = {{Py_tp_traverse, (void*)detail::record_traverse},
                                {Py_tp_clear, (void*)detail::record_clear},
                                {0, nullptr}};
  nb::class_<T> cls(module, layout.name, nb::type_slots(slots), layout.doc);
  cls.def("__init__", [](T* self, nb::args args, nb::kwargs kwargs) {
    new (self) T();
    const RecordLayout& s = self->layout();
    if (args.size() > s.fields.size())
      throw nb::type_error((std::string(s.name) + "() takes at most " +
                            std::to_string(s.fields.size()) + " positional arguments (" +
                            std::to_string(args.size()) + " given)")
                               .c_str());
    std::vector<bool> given(s.fields.size(), false);
    for (std::size_t i = 0; i < args.size(); ++i) {
      (*self)[i] = nb::borrow(args[i]);
      given[i] = true;
    }
    for (auto [key, value] : kwargs) {
      const std::string name = nb::cast<std::string>(key);
      const std::size_t i = self->index_of(name.c_str());
      if (i == s.fields.size())
        throw nb::type_error(
            (std::string(s.name) + "() got an unexpected keyword argument '" + name + "'").c_str());
      if (given[i])
        throw nb::type_error(
            (std::string(s.name) + "() got multiple values for argument '" + name + "'").c_str());
      (*self)[i] = nb::borrow(value);
      given[i] = true;
    }
  });
  for (std::size_t i = 0; i < layout.fields.size(); ++i) {
    cls.def_prop_rw(
        layout.fields[i].name, [i](T& r) { return r[i]; },
        [i](T& r, nb::object value) { r[i] = std::move(value); });
  }
  detail::define_record_methods(cls, layout);
  return cls;
}

}  // namespace zelka::host
