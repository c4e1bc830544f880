#include "host/paths.hpp"

#include "host/args.hpp"

namespace zelka::host {

nb::str path_argument(nb::handle value, const char* name) {
  const bool path_like =
      PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
      nb::hasattr(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr()))), "__fspath__");
  if (!path_like) raise_argument_type(name, "str, bytes or os.PathLike", value);
  nb::object path = steal_or_raise(PyOS_FSPath(value.ptr()));
  if (PyUnicode_Check(path.ptr())) return nb::borrow<nb::str>(path);
  return nb::borrow<nb::str>(steal_or_raise(PyUnicode_DecodeFSDefaultAndSize(
      PyBytes_AS_STRING(path.ptr()), PyBytes_GET_SIZE(path.ptr()))));
}

std::string join(const std::string& folder, const std::string& relative) {
  return folder.ends_with('/') ? folder + relative : folder + "/" + relative;
}

std::string fs_path(nb::handle path) {
  nb::object bytes = steal_or_raise(PyUnicode_EncodeFSDefault(path.ptr()));
  std::string out(PyBytes_AS_STRING(bytes.ptr()), PyBytes_GET_SIZE(bytes.ptr()));
  if (out.find('\0') != std::string::npos) throw nb::value_error("embedded null byte");
  return out;
}

nb::str host_path(const std::string& fs_bytes) {
  return nb::borrow<nb::str>(steal_or_raise(
      PyUnicode_DecodeFSDefaultAndSize(fs_bytes.data(), static_cast<Py_ssize_t>(fs_bytes.size()))));
}

std::string parent_of(const std::string& fs_bytes) {
  const std::size_t slash = fs_bytes.rfind('/');
  return slash == std::string::npos ? std::string() : fs_bytes.substr(0, slash);
}

}  // namespace zelka::host
