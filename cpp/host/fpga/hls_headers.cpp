#include "host/fpga/hls_headers.hpp"

#include <sys/stat.h>

#include "core/fpga/file_tree.hpp"
#include "host/paths.hpp"

namespace zelka::host::fpga {
namespace {

constexpr const char* install_hint =
    "install hls4ml 1.3.0: pip install \"zelka[fpga]\" (which brings hls4ml==1.3.0 and "
    "quantizers<2)";

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// "{templates.FOLDER}/{name}".
std::string project_path(nb::handle templates, nb::handle name) {
  return utf8(templates.attr("FOLDER")) + "/" + utf8(name);
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
  nb::module_ templates = imported("zelka.backend.fpga.templates");
  FileTexts files;
  for (nb::handle name : templates.attr("SNN_HEADERS")) {
    nb::bytes content = nb::borrow<nb::bytes>(templates.attr("header_bytes")(name));
    files.emplace_back(project_path(templates, name), std::string(content.c_str(), content.size()));
  }
  return files;
}

nb::list neuron_model_header_paths() {
  nb::module_ templates = imported("zelka.backend.fpga.templates");
  nb::list paths;
  for (nb::handle name : templates.attr("HEADERS")) {
    const std::string path = project_path(templates, name);
    paths.append(nb::str(path.data(), path.size()));
  }
  return paths;
}

}  // namespace zelka::host::fpga
