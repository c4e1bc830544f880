#include "host/io/file_set.hpp"

#include <string>
#include <utility>
#include <vector>

#include "core/fpga/project_writer.hpp"
#include "host/paths.hpp"

namespace zelka::host::io {

void write_files(nb::handle folder, nb::handle files) {
  const std::string directory = fs_path(path_argument(folder, "folder"));
  std::vector<std::pair<std::string, std::string>> contents;
  for (nb::handle item : nb::iter(files)) {
    const std::vector<nb::object> name_and_bytes = unpack(item, 2);
    if (!PyUnicode_Check(name_and_bytes[0].ptr()))
      raise_formatted(PyExc_TypeError, "write_files: a file name must be a str, got {}",
                      type_name_of(name_and_bytes[0]));
    if (!PyBytes_Check(name_and_bytes[1].ptr()))
      raise_formatted(PyExc_TypeError, "write_files: the content of {!r} must be bytes, got {}",
                      name_and_bytes[0], type_name_of(name_and_bytes[1]));
    const nb::bytes content = nb::borrow<nb::bytes>(name_and_bytes[1]);
    contents.emplace_back(join(directory, fs_path(name_and_bytes[0])),
                          std::string(content.c_str(), content.size()));
  }
  zelka::fpga::ProjectWriter writer(run_signal_handlers);
  writer.make_directories(directory);
  for (const auto& [path, content] : contents) writer.stage(path, content);
  writer.commit();
}

}  // namespace zelka::host::io
