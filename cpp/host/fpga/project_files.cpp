#include "host/fpga/project_files.hpp"

#include "core/fpga/project_writer.hpp"
#include "host/paths.hpp"

namespace zelka::host::fpga {

nb::list write_project_files(const std::string& folder,
                             const std::vector<std::pair<std::string, std::string>>& files) {
  nb::list written;
  std::vector<std::string> targets;
  for (const auto& file : files) {
    targets.push_back(join(folder, file.first));
    written.append(host_path(targets.back()));
  }
  {
    nb::gil_scoped_release release;
    zelka::fpga::ProjectWriter writer(run_signal_handlers_unlocked);
    for (std::size_t i = 0; i < files.size(); ++i) {
      writer.make_directories(parent_of(targets[i]));
      writer.stage(targets[i], files[i].second);
    }
    writer.commit();
  }
  return written;
}

}  // namespace zelka::host::fpga
