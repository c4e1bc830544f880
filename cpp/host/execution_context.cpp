#include "host/execution_context.hpp"

namespace zelka::host {

ExecutionContext execution_context(nb::handle graph, UnpackWording wording) {
  nb::object build = imported("zelka.backend.cpu.graph_utils").attr("build_execution_context");
  std::vector<nb::object> items = unpack(build(graph), 3, wording);
  return {items[0], items[1], items[2]};
}

}  // namespace zelka::host
