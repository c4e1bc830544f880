#include "core/io/graph_archive.hpp"

#include <charconv>
#include <optional>

#include "core/errors.hpp"
#include "core/io/quoted.hpp"
#include "core/io/zip_reader.hpp"
#include "core/io/zip_writer.hpp"
#include "core/value/json.hpp"
#include "core/value/json_reader.hpp"

namespace zelka::io {
namespace {

constexpr std::string_view manifest_name = "manifest.json";
constexpr std::string_view array_prefix = "arrays/";
constexpr std::string_view array_suffix = ".npy";

std::string array_name(std::size_t index) {
  return std::string(array_prefix) + std::to_string(index) + std::string(array_suffix);
}

// The number of an entry named "arrays/<number>.npy" (decimal, no leading zeros).
std::optional<std::size_t> array_number(std::string_view name) {
  if (!name.starts_with(array_prefix) || !name.ends_with(array_suffix)) return std::nullopt;
  const std::string_view digits =
      name.substr(array_prefix.size(), name.size() - array_prefix.size() - array_suffix.size());
  std::size_t n = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty() ||
      (digits.size() > 1 && digits[0] == '0'))
    return std::nullopt;
  return n;
}

const value::Value* member(const value::Map& map, std::string_view key) {
  return map.find(value::Value(std::string(key)));
}

// The manifest's "graph", after its format and version (checked first, so that a file of a
// later version says so whatever else changed).
value::Value manifest_graph(std::string_view text) {
  value::Value manifest = value::parse_json(text, max_manifest_depth);
  if (!manifest.is<value::Map>()) throw ValueError("the manifest is not a JSON object");
  const value::Map& m = manifest.as<value::Map>();
  const value::Value* format = member(m, "format");
  if (!format || !format->is<std::string>() || format->as<std::string>() != graph_format)
    throw ValueError("the manifest does not declare the format \"zelka-graph\"");
  const value::Value* version = member(m, "version");
  if (!version || !version->is<std::int64_t>())
    throw ValueError("the manifest declares no integer format version");
  if (version->as<std::int64_t>() != graph_format_version)
    throw ValueError("format version " + std::to_string(version->as<std::int64_t>()) +
                     " is not supported (this zelka reads version " +
                     std::to_string(graph_format_version) + ")");
  const value::Value* graph = member(m, "graph");
  if (!graph || m.entries.size() != 3)
    throw ValueError("the manifest must hold exactly format, version and graph");
  return *graph;
}

}  // namespace

std::string graph_archive(const value::Value& graph, const std::vector<ArrayBytes>& arrays) {
  value::Map manifest;
  manifest.set("format", std::string(graph_format));
  manifest.set("version", graph_format_version);
  manifest.set("graph", graph);
  const std::string manifest_text = value::json_text(value::Value(std::move(manifest)), 1);
  std::vector<std::string> headers;
  headers.reserve(arrays.size());
  std::vector<ZipSource> entries{{std::string(manifest_name), {manifest_text}}};
  for (std::size_t i = 0; i < arrays.size(); ++i) {
    headers.push_back(npy_header(arrays[i].descr, arrays[i].shape));
    entries.push_back({array_name(i), {headers.back(), arrays[i].data}});
  }
  return stored_zip(entries);
}

GraphArchive::GraphArchive(std::string_view file) {
  const std::vector<ZipEntry> entries = read_stored_zip(file);
  if (entries.empty() || entries.front().name != manifest_name)
    throw ValueError("the archive does not start with manifest.json");
  for (std::size_t i = 1; i < entries.size(); ++i) {
    const std::optional<std::size_t> number = array_number(entries[i].name);
    if (!number || *number != i - 1)
      throw ValueError("unexpected entry " + quoted(entries[i].name) + " (expected " +
                       quoted(array_name(i - 1)) + ")");
    try {
      arrays_.push_back(read_npy(entries[i].content));
    } catch (const ValueError& e) {
      throw ValueError(array_name(i - 1) + ": " + e.what());
    }
  }
  used_.assign(arrays_.size(), false);
  graph_ = manifest_graph(entries.front().content);
}

const NpyArray& GraphArchive::array(std::int64_t index, std::string_view descr,
                                    const std::vector<std::int64_t>& shape) {
  if (index < 0 || static_cast<std::uint64_t>(index) >= arrays_.size())
    throw ValueError("the manifest refers to array " + std::to_string(index) +
                     ", which the archive does not hold (it holds " +
                     std::to_string(arrays_.size()) + ")");
  const auto i = static_cast<std::size_t>(index);
  const NpyArray& a = arrays_[i];
  if (a.descr != descr || a.shape != shape)
    throw ValueError(array_name(i) + " holds dtype " + quoted(a.descr) + " and shape " +
                     shape_text(a.shape) + "; the manifest declares dtype " + quoted(descr) +
                     " and shape " + shape_text(shape));
  used_[i] = true;
  return a;
}

void GraphArchive::require_every_array_used() const {
  for (std::size_t i = 0; i < used_.size(); ++i)
    if (!used_[i]) throw ValueError(array_name(i) + " is not referred to by the manifest");
}

}  // namespace zelka::io
