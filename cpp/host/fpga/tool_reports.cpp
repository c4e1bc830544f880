#include "host/fpga/tool_reports.hpp"

#include "host/external_tool.hpp"
#include "host/paths.hpp"

namespace zelka::host::fpga {

nb::str ending_of(const tools::CommandResult& result) {
  const std::string status = std::to_string(result.status);
  const std::string text = result.end == tools::CommandEnd::signalled
                               ? "was ended by signal " + status
                               : "ended with status " + status;
  return nb::str(text.data(), text.size());
}

std::string only_project(nb::handle folder, const std::vector<std::string>& names, const char* what,
                         const char* marker, const char* writer) {
  if (names.size() == 1) return names.front();
  if (names.empty())
    raise_formatted(PyExc_ValueError, "{!r} holds no {}: no {} (write one with {})", folder,
                    nb::str(what), nb::str(marker), nb::str(writer));
  nb::list host_names;
  for (const std::string& name : names) host_names.append(host_path(name));
  raise_formatted(PyExc_ValueError, "{!r} holds several {}s: {}", folder, nb::str(what),
                  imported("builtins").attr("sorted")(host_names));
}

}  // namespace zelka::host::fpga
