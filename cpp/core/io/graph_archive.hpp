// The layout of a zelka graph file: a zip archive of stored entries holding the manifest
// "manifest.json" (first) and the arrays "arrays/0.npy", "arrays/1.npy", ... that it refers
// to by number.  The manifest is a JSON object {"format": "zelka-graph", "version": 1,
// "graph": {...}}; what "graph" holds is read and written by the host, which makes the
// objects.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/io/npy.hpp"
#include "core/value/value.hpp"

namespace zelka::io {

inline constexpr std::string_view graph_format = "zelka-graph";
inline constexpr std::int64_t graph_format_version = 1;
// The most arrays and objects the manifest nests inside one another.
inline constexpr std::size_t max_manifest_depth = 512;

// An array to store: its dtype (numpy's dtype.str), shape and C-ordered bytes.
struct ArrayBytes {
  std::string descr;
  std::vector<std::int64_t> shape;
  std::string_view data;
};

// The file's bytes for the manifest member "graph" and the arrays it refers to.
std::string graph_archive(const value::Value& graph, const std::vector<ArrayBytes>& arrays);

// A graph file read from its bytes (which must outlive it): the archive, the manifest's
// format and version, and every array's .npy form are checked on construction; ValueError
// saying what is wrong otherwise.
class GraphArchive {
 public:
  explicit GraphArchive(std::string_view file);

  // The manifest's "graph" member.
  const value::Value& graph() const { return graph_; }

  // Array `index`, which the manifest declares with `descr` and `shape`: ValueError when
  // there is no such array or it has another dtype or shape.
  const NpyArray& array(std::int64_t index, std::string_view descr,
                        const std::vector<std::int64_t>& shape);

  // ValueError naming an array no array() call asked for.
  void require_every_array_used() const;

 private:
  value::Value graph_;
  std::vector<NpyArray> arrays_;
  std::vector<bool> used_;
};

}  // namespace zelka::io
