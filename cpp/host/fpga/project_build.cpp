#include "host/fpga/project_build.hpp"

#include "core/errors.hpp"
#include "core/fpga/project_config.hpp"
#include "core/fpga/project_writer.hpp"
#include "core/io/temp_file.hpp"
#include "host/fpga/bitstream_config.hpp"
#include "host/fpga/build_script.hpp"
#include "host/fpga/input_shape.hpp"
#include "host/fpga/parameters_blocks.hpp"
#include "host/paths.hpp"
#include "host/value_convert.hpp"

using namespace nanobind::literals;

namespace zelka::host::fpga {
namespace {

// The UTF-8 texts of the project's files.
struct ProjectTexts {
  std::string parameters_h, build_script, tcl_script, config_json;
};

// The JSON document of hls4ml_config.json, computed before anything is written.
std::string config_json(nb::handle hls_config) {
  if (!PyDict_Check(hls_config.ptr()))
    raise_formatted(PyExc_TypeError,
                    "hls4ml configuration has incorrect type (expected dict, got {})",
                    type_name_of(hls_config));
  hls_settings_section(hls_config);
  PyObject* shape = PyDict_GetItemWithError(hls_config.ptr(), nb::str("InputShape").ptr());
  if (!shape && PyErr_Occurred()) throw nb::python_error();
  const std::string shape_text =
      shape_with_batch_text(shape ? nb::borrow(shape) : nb::object(nb::list()));
  ValueConverter cv;
  const value::Value config = cv.to_value(hls_config);
  return zelka::fpga::project_config_json(config.as<value::Map>(), shape_text);
}

// torch.save(model, a temporary file) renamed to `model_path`; the error text when that
// fails (an error that is not an Exception, such as KeyboardInterrupt, propagates).
nb::object save_model(nb::handle model, const std::string& model_path) {
  try {
    nb::module_ torch = imported("torch");
    zelka::io::TempFile file(model_path);
    torch.attr("save")(model, host_path(file.path()));
    file.move_into_place();
    return nb::none();
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return nb::str(e.value());
  } catch (const zelka::OSError& e) {
    return nb::str(os_error_object(e));
  }
}

// The project folder: parameters.h, the neuron-model headers, build.py, build_prj.tcl and
// hls4ml_config.json, in this order; the paths written, in that order.  Every path and text
// is prepared before the first write.
nb::list write_project(nb::handle output_dir, nb::handle template_paths,
                       const ProjectTexts& texts) {
  const std::string folder = fs_path(output_dir);
  const std::string firmware = join(folder, "firmware");
  struct File {
    std::string path;
    const std::string* text;
  };
  const File parameters{join(firmware, "parameters.h"), &texts.parameters_h};
  const File after_templates[] = {{join(folder, "build.py"), &texts.build_script},
                                  {join(folder, "build_prj.tcl"), &texts.tcl_script},
                                  {join(folder, "hls4ml_config.json"), &texts.config_json}};
  std::vector<std::string> headers;
  for (nb::handle relative : template_paths) headers.push_back(join(folder, fs_path(relative)));

  zelka::fpga::ProjectWriter writer;
  writer.make_directories(folder);
  writer.make_directories(firmware);
  writer.stage(parameters.path, *parameters.text);
  for (const std::string& header : headers) {
    writer.make_directories(parent_of(header));
    writer.expect_write(header);
  }
  nb::object write_templates = imported("zelka.backend.fpga.templates").attr("write_templates");
  nb::object written_headers = steal_or_raise(PySequence_List(write_templates(output_dir).ptr()));
  for (const File& f : after_templates) writer.stage(f.path, *f.text);
  writer.commit();

  nb::list written;
  written.append(host_path(parameters.path));
  for (nb::handle path : written_headers) written.append(path);
  for (const File& f : after_templates) written.append(host_path(f.path));
  return written;
}

}  // namespace

nb::object build_bitstream(nb::handle self, nb::handle graph, const ProjectSettings& s,
                           nb::handle bitstream_config, bool write_to_disk,
                           nb::handle pytorch_model) {
  nb::object flags_object =
      bitstream_config.is_none() ? nb::cast(BitstreamConfig()) : nb::borrow(bitstream_config);
  nb::object descriptor =
      self.attr("compile")(graph, "output_dir"_a = s.output_dir, "project_name"_a = s.project_name,
                           "part"_a = s.part, "clock_period"_a = s.clock_period,
                           "io_type"_a = s.io_type, "default_precision"_a = s.default_precision,
                           "default_reuse_factor"_a = s.default_reuse_factor,
                           "strategy"_a = s.strategy, "bitstream_config"_a = flags_object);
  nb::object metadata = descriptor.attr("metadata");
  nb::object hls_config = metadata["hls4ml_config"];

  const auto& flags = static_cast<const BitstreamConfig&>(detail::initialised_record(flags_object));
  const std::string header =
      parameters_h(graph, {s.default_precision, s.default_reuse_factor, s.io_type});
  nb::object parameters_h_text = nb::str(header.data(), header.size());
  nb::object script = build_script(hls_config, flags, s.project_name);
  nb::object tcl = settings_tcl_script(s);

  nb::dict result;
  result["hls4ml_config"] = hls_config;
  result["parameters_h"] = parameters_h_text;
  result["build_script"] = script;
  result["tcl_script"] = tcl;
  result["template_paths"] = metadata["template_paths"];
  result["descriptor"] = descriptor;
  if (!write_to_disk) return result;

  if (!truth(s.output_dir))
    throw nb::value_error(
        "Argument 'output_dir' must name a folder to write the project to, got ''");
  const ProjectTexts texts{header, utf8(script), utf8(tcl), config_json(hls_config)};
  nb::list written = write_project(s.output_dir, result["template_paths"], texts);
  if (!pytorch_model.is_none()) {
    const std::string model_path = join(fs_path(s.output_dir), "model.pt");
    nb::object error = save_model(pytorch_model, model_path);
    if (error.is_none())
      written.append(host_path(model_path));
    else
      result["pytorch_model_save_error"] = error;
  }
  result["written_files"] = written;
  return result;
}

}  // namespace zelka::host::fpga
