#include "host/fpga/project_paths.hpp"

namespace zelka::host::fpga {

nb::str join(nb::handle left, nb::handle right) {
  const bool ends_with_separator = truth(left.attr("endswith")("/"));
  return nb::str(add(ends_with_separator ? nb::borrow(left) : add(left, nb::str("/")), right));
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

}  // namespace zelka::host::fpga
