#include "host/fpga/build_script.hpp"

#include "core/fpga/boards.hpp"
#include "core/fpga/build_script.hpp"
#include "core/value/python_literal.hpp"
#include "host/fpga/input_shape.hpp"
#include "host/fpga/script_names.hpp"
#include "host/value_convert.hpp"

namespace zelka::host::fpga {
namespace {

// hls_config.get(key): the value, or an invalid object when the key is missing.
nb::object lookup(nb::handle hls_config, const char* key) {
  PyObject* value = PyDict_GetItemWithError(hls_config.ptr(), nb::str(key).ptr());
  if (!value && PyErr_Occurred()) throw nb::python_error();
  return nb::borrow(value);
}

// The str() text of the value under `key`, or `fallback` when it is missing.
std::string text_or(nb::handle hls_config, const char* key, std::string_view fallback) {
  nb::object value = lookup(hls_config, key);
  return value.is_valid() ? str_text(value) : std::string(fallback);
}

}  // namespace

nb::object hls_settings_section(nb::handle hls_config) {
  nb::object section = lookup(hls_config, "HLSConfig");
  if (!section.is_valid()) return nb::dict();
  if (!PyDict_Check(section.ptr()))
    raise_formatted(PyExc_TypeError,
                    "hls4ml configuration: 'HLSConfig' has incorrect type (expected dict, got {})",
                    type_name_of(section));
  return section;
}

nb::object build_script(nb::handle hls_config, const BitstreamConfig& flags,
                        nb::handle project_name) {
  require_project_name(project_name, "project_name");
  nb::object part = lookup(hls_config, "Part");
  if (part.is_valid()) require_part_number(nb::str(part), "hls4ml configuration: 'Part'");

  ValueConverter cv;
  value::Value settings = cv.to_value(hls_settings_section(hls_config));
  settings.as<value::Map>().erase("InputShape");
  nb::object raw_shape = lookup(hls_config, "InputShape");
  value::Tuple shape = shape_without_batch(raw_shape.is_valid() ? raw_shape : nb::list());

  zelka::fpga::BuildScriptSettings s;
  s.project_name = utf8(project_name);
  s.part = text_or(hls_config, "Part", zelka::fpga::default_part);
  s.output_dir = text_or(hls_config, "OutputDir", "hls4ml_project");
  s.backend = text_or(hls_config, "Backend", "Vivado");
  s.io_type = text_or(hls_config, "IOType", "io_stream");
  s.hls_settings_literal = value::python_literal(settings);
  s.input_shape_literal =
      shape.items.empty() ? "[]" : value::python_literal(value::List{std::move(shape)});
  const auto flag = [&](const char* name) { return truth(flags[flags.index_of(name)]); };
  s.csim = flag("csim");
  s.synth = flag("synth");
  s.cosim = flag("cosim");
  s.export_ip = flag("export");
  s.vsynth = flag("vsynth");
  s.bitfile = flag("bitfile");
  const std::string text = zelka::fpga::render_build_script(s);
  return nb::str(text.data(), text.size());
}

}  // namespace zelka::host::fpga
