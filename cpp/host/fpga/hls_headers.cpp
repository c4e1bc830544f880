#include "host/fpga/hls_headers.hpp"

#include <sys/stat.h>

#include "core/fpga/file_tree.hpp"
#include "host/fpga/project_paths.hpp"

namespace zelka::host::fpga {
namespace {

constexpr const char* install_hint =
    "install hls4ml 1.3.0: pip install \"zelka[fpga]\" (which brings hls4ml==1.3.0 and "
    "quantizers<2)";

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

FileTexts hls4ml_headers() {
  nb::object found = imported("importlib.util").attr("find_spec")("hls4ml");
  if (found.is_none() || found.attr("origin").is_none())
    raise_formatted(PyExc_ImportError,
                    "write_snn_project copies hls4ml's HLS headers into the project, and hls4ml "
                    "is not installed: {}",
                    install_hint);
  const std::string package = parent_of(fs_path(found.attr("origin")));
  const std::string vivado = package + "/templates/vivado";
  FileTexts files;
  for (const char* folder : {"nnet_utils", "ap_types"}) {
    const std::string source = vivado + "/" + folder;
    if (!is_directory(source))
      raise_formatted(PyExc_ImportError, "hls4ml at {} has no templates/vivado/{}: {}",
                      host_path(package), folder, install_hint);
    for (auto& [relative, content] : zelka::fpga::read_file_tree(source))
      files.emplace_back("firmware/" + std::string(folder) + "/" + relative, std::move(content));
  }
  return files;
}

FileTexts package_headers() {
  nb::object folder =
      imported("importlib.resources").attr("files")("zelka.backend.fpga").attr("joinpath")("hls");
  FileTexts files;
  for (const char* name : {"complex_lif.h", "dense_adapter.h", "lif_model.h", "lif_neurons.h"}) {
    nb::bytes content = nb::borrow<nb::bytes>(folder.attr("joinpath")(name).attr("read_bytes")());
    files.emplace_back(std::string("firmware/nnet_utils/") + name,
                       std::string(content.c_str(), content.size()));
  }
  return files;
}

}  // namespace zelka::host::fpga
