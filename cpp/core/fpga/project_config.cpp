#include "core/fpga/project_config.hpp"

#include "core/value/json.hpp"

namespace zelka::fpga {

std::string project_config_json(const value::Map& config, const std::string& input_shape_text) {
  const value::Value hls_key("HLSConfig");
  value::Map document;
  for (const auto& [key, v] : config.entries) {
    if (key == value::Value("PytorchModel") || key == value::Value("InputShape") ||
        key == value::Value("Layers"))
      continue;
    document.entries.emplace_back(key, v);
  }
  const value::Value* settings = config.find(hls_key);
  value::Map hls = settings ? settings->as<value::Map>() : value::Map{};
  hls.set("InputShape", input_shape_text);
  document.set(hls_key, std::move(hls));
  document.set("PytorchModel", "./model.pt");
  return value::json_text(document, 2);
}

}  // namespace zelka::fpga
