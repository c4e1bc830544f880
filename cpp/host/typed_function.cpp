#include "host/typed_function.hpp"

namespace zelka::host::detail {

std::string signature_line(nb::handle function) {
  const std::string doc = utf8(function.attr("__doc__"));
  return "def " + doc.substr(0, doc.find('\n'));
}

}  // namespace zelka::host::detail
