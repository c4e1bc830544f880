#include "host/record.hpp"

#include <cstring>

namespace zelka::host {

nb::object new_dict() {
  return nb::dict();
}
nb::object new_list() {
  return nb::list();
}
nb::object none_value() {
  return nb::none();
}
nb::object zero_int() {
  return nb::int_(0);
}
nb::object zero_float() {
  return nb::float_(0.0);
}
nb::object true_value() {
  return nb::bool_(true);
}
nb::object false_value() {
  return nb::bool_(false);
}
nb::object empty_str() {
  return nb::str("");
}

Record::Record(const RecordLayout* layout) : layout_(layout), values_(layout->fields.size()) {}

nb::object& Record::made(std::size_t i) const {
  nb::object& value = values_[i];
  if (!value.is_valid()) value = layout_->fields[i].make_default();
  return value;
}

std::vector<nb::object>& Record::values() {
  for (std::size_t i = 0; i < values_.size(); ++i) made(i);
  return values_;
}

std::size_t Record::index_of(const char* field) const {
  // Callers name fields by literals, which the linker merges with the layout's own: the
  // address usually finds the field without comparing texts.
  const std::vector<RecordField>& fields = layout_->fields;
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (fields[i].name == field) return i;
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (std::strcmp(fields[i].name, field) == 0) return i;
  return fields.size();
}

namespace detail {

int record_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  Record* r = nb::inst_ptr<Record>(self);
  for (nb::object& v : r->held_values()) Py_VISIT(v.ptr());
  return 0;
}

int record_clear(PyObject* self) {
  if (!nb::inst_ready(self)) return 0;
  Record* r = nb::inst_ptr<Record>(self);
  for (nb::object& v : r->held_values()) v = nb::none();
  return 0;
}

std::vector<nb::object> record_arguments(const RecordLayout& layout, nb::args args,
                                         nb::kwargs kwargs) {
  const std::size_t n = layout.fields.size();
  if (args.size() > n)
    throw nb::type_error((std::string(layout.name) + "() takes at most " + std::to_string(n) +
                          " positional arguments (" + std::to_string(args.size()) + " given)")
                             .c_str());
  std::vector<nb::object> given(n);
  for (std::size_t i = 0; i < args.size(); ++i) given[i] = nb::borrow(args[i]);
  // Keys are compared as str objects, so a keyword that has no UTF-8 form (a lone
  // surrogate) is reported like any other unknown keyword.
  nb::list keys = nb::steal<nb::list>(PyDict_Keys(kwargs.ptr()));
  for (nb::handle key : keys) {
    std::size_t i = 0;
    while (i < n && PyUnicode_CompareWithASCIIString(key.ptr(), layout.fields[i].name) != 0) ++i;
    const char* problem = i == n                ? "got an unexpected keyword argument"
                          : given[i].is_valid() ? "got multiple values for argument"
                                                : nullptr;
    if (problem) {
      PyErr_Format(PyExc_TypeError, "%s() %s %R", layout.name, problem, key.ptr());
      throw nb::python_error();
    }
    given[i] = nb::borrow(PyDict_GetItem(kwargs.ptr(), key.ptr()));
  }
  return given;
}

Record& initialised_record(nb::handle self) {
  if (!nb::inst_ready(self)) {
    const std::string name = type_name_of(self);
    throw nb::type_error(
        (name + " object is not initialised (create it by calling " + name + "(...))").c_str());
  }
  return *nb::inst_ptr<Record>(self);
}

void define_record_methods(nb::handle cls, const RecordLayout& layout) {
  const RecordLayout* s = &layout;
  nb::object as_tuple = nb::cpp_function(
      [](nb::handle self) {
        nb::list items;
        for (nb::object& v : initialised_record(self).values()) items.append(v);
        return nb::tuple(items);
      },
      nb::is_method(), nb::name("_astuple"), nb::scope(cls));
  nb::setattr(cls, "_astuple", as_tuple);
  nb::setattr(cls, "__eq__",
              nb::cpp_function(
                  [](nb::handle self, nb::handle other) -> nb::object {
                    if (!self.type().is(other.type())) return nb::borrow(Py_NotImplemented);
                    return compare(self.attr("_astuple")(), other.attr("_astuple")(), Py_EQ);
                  },
                  nb::is_method(), nb::name("__eq__"), nb::scope(cls)));
  nb::setattr(cls, "__hash__", nb::none());
  // Assembled by the host, so that field values whose text holds lone surrogates show too.
  nb::setattr(cls, "__repr__",
              nb::cpp_function(
                  [s](nb::handle self) {
                    const Record& r = initialised_record(self);
                    nb::list parts;
                    for (std::size_t i = 0; i < s->fields.size(); ++i)
                      parts.append(nb::str("{}={!r}").format(s->fields[i].name, r[i]));
                    return nb::str("{}({})").format(s->name, nb::str(", ").attr("join")(parts));
                  },
                  nb::is_method(), nb::name("__repr__"), nb::scope(cls)));
  nb::setattr(
      cls, "__reduce__",
      nb::cpp_function(
          [](nb::handle self) { return nb::make_tuple(self.type(), self.attr("_astuple")()); },
          nb::is_method(), nb::name("__reduce__"), nb::scope(cls)));
  nb::list names;
  for (const RecordField& f : layout.fields) names.append(nb::str(f.name));
  nb::setattr(cls, "__match_args__", nb::tuple(names));
}

}  // namespace detail

}  // namespace zelka::host
