#include "host/fpga/script_names.hpp"

namespace zelka::host::fpga {

void require_project_name(nb::handle name, const char* argument) {
  if (PyUnicode_IsIdentifier(name.ptr()) == 1) return;
  raise_formatted(PyExc_ValueError,
                  "Argument '{}' must be a Python identifier (letters, digits and underscores, "
                  "not starting with a digit), got {!r}",
                  argument, name);
}

void require_part_number(nb::handle part, const char* what) {
  PyObject* text = part.ptr();
  const Py_ssize_t length = PyUnicode_GetLength(text);
  if (length < 0) throw nb::python_error();
  bool valid = length > 0;
  for (Py_ssize_t i = 0; valid && i < length; ++i) {
    const Py_UCS4 c = PyUnicode_ReadChar(text, i);
    valid = Py_UNICODE_ISALNUM(c) || c == '-' || c == '_' || c == '.';
  }
  if (valid) return;
  raise_formatted(PyExc_ValueError,
                  "{} must be a part number made of letters, digits, '-', '_' and '.', got {!r}",
                  what, part);
}

}  // namespace zelka::host::fpga
