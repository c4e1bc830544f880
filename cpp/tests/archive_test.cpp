// The saved-graph file's parts: the zip archive of stored entries, the .npy arrays and the
// archive layout around them, written and read back, and damaged files refused.
#include <doctest/doctest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/io/crc32.hpp"
#include "core/io/graph_archive.hpp"
#include "core/io/npy.hpp"
#include "core/io/zip_reader.hpp"
#include "core/io/zip_writer.hpp"
#include "core/value/json.hpp"

using namespace zelka::io;
using zelka::ValueError;
namespace value = zelka::value;

namespace {

struct Entry {
  std::string name, content;
  bool operator==(const Entry&) const = default;
};

std::vector<Entry> entries_of(std::string_view archive) {
  std::vector<Entry> out;
  for (const ZipEntry& entry : read_stored_zip(archive))
    out.push_back({entry.name, std::string(entry.content)});
  return out;
}

const std::vector<Entry> sample_entries = {
    {"manifest.json", "{\"format\": 1}"},
    {"arrays/0.npy", std::string("\x93NUMPY\0\x01", 8) + std::string(300, '\xab')},
    {"empty", ""},
    {"d\xc3\xa9j\xc3\xa0/vu.txt", "PK\x05\x06 looks like a record"},
};

std::string sample_archive() {
  std::vector<ZipSource> sources;
  for (const Entry& entry : sample_entries) {
    // The content in two pieces, as the writer takes it.
    const std::string_view content = entry.content;
    sources.push_back(
        {entry.name, {content.substr(0, content.size() / 2), content.substr(content.size() / 2)}});
  }
  return stored_zip(sources);
}

}  // namespace

TEST_CASE("CRC-32 is the zip checksum, and can be continued") {
  CHECK(crc32("123456789") == 0xCBF43926u);
  CHECK(crc32("") == 0u);
  CHECK(crc32("56789", crc32("1234")) == 0xCBF43926u);
}

TEST_CASE("a zip archive reads back as the entries written, in their order") {
  const std::string archive = sample_archive();
  CHECK(entries_of(archive) == sample_entries);
  CHECK(sample_archive() == archive);  // equal entries make equal bytes
  CHECK(entries_of(stored_zip({})).empty());
}

TEST_CASE("a damaged zip archive is refused or reads as it was written") {
  const std::string archive = sample_archive();
  SUBCASE("every truncation is refused") {
    for (std::size_t size = 0; size < archive.size(); ++size) {
      CAPTURE(size);
      CHECK_THROWS_AS(read_stored_zip(std::string_view(archive).substr(0, size)), ValueError);
    }
  }
  SUBCASE("no byte changed gives other entries") {
    // A change the reader cannot see (a date, an attribute) reads as the original; any other
    // is refused: the CRC-32 covers the contents, the two copies of each name and size
    // check each other, and every offset is checked.
    for (std::size_t at = 0; at < archive.size(); ++at)
      for (const unsigned char flip : {0x01, 0x80, 0xff}) {
        std::string damaged = archive;
        damaged[at] = static_cast<char>(damaged[at] ^ flip);
        CAPTURE(at);
        CAPTURE(int(flip));
        bool refused = false;
        std::vector<Entry> read;
        try {
          read = entries_of(damaged);
        } catch (const ValueError&) {
          refused = true;
        }
        CHECK((refused || read == sample_entries));
      }
  }
  SUBCASE("names that would leave the folder they are read into are refused") {
    for (const char* name :
         {"/etc/passwd", "../up", "a/../../up", "C:x", "a\\b", "a//b", "./a", "", "bad\xff"}) {
      CAPTURE(name);
      CHECK_THROWS_AS(read_stored_zip(stored_zip({{name, {"x"}}})), ValueError);
    }
  }
  SUBCASE("a name given twice is refused") {
    CHECK_THROWS_AS(read_stored_zip(stored_zip({{"a", {"1"}}, {"a", {"2"}}})), ValueError);
  }
}

TEST_CASE(".npy arrays read back with their dtype, shape and data") {
  for (const auto& shape :
       std::vector<std::vector<std::int64_t>>{{}, {0}, {3}, {2, 5}, {1, 1, 7}}) {
    std::uint64_t bytes = 0;
    REQUIRE(array_bytes(shape, 8, bytes));
    const std::string data(bytes, '\x42');
    const std::string header = npy_header("<f8", shape);
    CHECK(header.size() % 64 == 0);
    CHECK(header.back() == '\n');
    const NpyArray array = read_npy(header + data);
    CHECK(array.descr == "<f8");
    CHECK(array.shape == shape);
    CHECK(array.data == data);
  }
  CHECK(npy_item_size("|b1") == 1);
  CHECK(npy_item_size(">c16") == 16);
  CHECK(npy_item_size("<U4") == 0);
  std::uint64_t bytes = 0;
  CHECK_FALSE(array_bytes({std::int64_t{1} << 32, std::int64_t{1} << 32}, 1, bytes));
  CHECK(array_bytes({std::int64_t{1} << 32, 0}, 1, bytes));
  CHECK(bytes == 0);
  // numpy refuses sizes past 2**63 - 1 bytes even when another dimension is 0
  CHECK_FALSE(array_bytes({0, INT64_MAX}, 8, bytes));
  CHECK(array_bytes({0, INT64_MAX}, 1, bytes));
  CHECK_FALSE(array_bytes({-1}, 1, bytes));
}

TEST_CASE("damaged .npy arrays are refused") {
  const std::string header = npy_header("<f4", {2, 3});
  const std::string good = header + std::string(24, '\0');
  REQUIRE_NOTHROW(read_npy(good));
  const auto replaced = [&](std::string_view from, std::string_view to) {
    std::string out = good;
    const std::size_t at = out.find(from);
    REQUIRE(at != std::string::npos);
    return out.replace(at, from.size(), to);
  };
  CHECK_THROWS_AS(read_npy(good.substr(0, good.size() - 1)), ValueError);  // short data
  CHECK_THROWS_AS(read_npy(good + "x"), ValueError);                       // long data
  CHECK_THROWS_AS(read_npy(good.substr(0, 40)), ValueError);               // short header
  CHECK_THROWS_AS(read_npy("x" + good.substr(1)), ValueError);             // no magic
  CHECK_THROWS_AS(read_npy(replaced(std::string("\x01\x00", 2), std::string("\x03\x00", 2))),
                  ValueError);                                        // version 3.0
  CHECK_THROWS_AS(read_npy(replaced("False", "True ")), ValueError);  // Fortran order
  CHECK_THROWS_AS(read_npy(replaced("<f4", "<U4")), ValueError);      // unknown dtype
  CHECK_THROWS_AS(read_npy(replaced("(2, 3)", "(2, 9)")), ValueError);
  CHECK_THROWS_AS(read_npy(replaced("(2, 3)", "(2,-3)")), ValueError);
}

TEST_CASE("a graph file holds its description and arrays, and says what is missing or wrong") {
  value::Map graph;
  graph.set("nodes", value::List{value::Value("fc"), value::Value(std::int64_t{3})});
  graph.set("weight", value::Value(0.1));
  const std::string weight(6 * 4, '\x3f'), bias(2 * 8, '\x01');
  const std::string file =
      graph_archive(value::Value(graph), {{"<f4", {2, 3}, weight}, {"<f8", {2}, bias}});

  GraphArchive read(file);
  CHECK(read.graph() == value::Value(graph));
  CHECK(read.array(0, "<f4", {2, 3}).data == weight);
  CHECK_THROWS_AS(read.require_every_array_used(), ValueError);  // array 1 not asked for
  CHECK_THROWS_AS(read.array(1, "<f4", {2}), ValueError);        // another dtype
  CHECK_THROWS_AS(read.array(1, "<f8", {1, 2}), ValueError);     // another shape
  CHECK_THROWS_AS(read.array(2, "<f8", {2}), ValueError);        // no such array
  CHECK(read.array(1, "<f8", {2}).data == bias);
  CHECK_NOTHROW(read.require_every_array_used());

  const auto manifest = [](const char* format, std::int64_t version) {
    value::Map m;
    m.set("format", value::Value(format));
    m.set("version", value::Value(version));
    m.set("graph", value::Value(value::Map{}));
    return value::json_text(value::Value(m), 1);
  };
  const std::string other_format = manifest("other", 1), other_version = manifest("zelka-graph", 2),
                    fine = manifest("zelka-graph", 1);
  CHECK_NOTHROW(GraphArchive(stored_zip({{"manifest.json", {fine}}})));
  CHECK_THROWS_AS(GraphArchive(stored_zip({{"manifest.json", {other_format}}})), ValueError);
  CHECK_THROWS_AS(GraphArchive(stored_zip({{"manifest.json", {other_version}}})), ValueError);
  CHECK_THROWS_AS(GraphArchive(stored_zip({{"arrays/0.npy", {"x"}}})), ValueError);
  CHECK_THROWS_AS(GraphArchive("not a zip archive"), ValueError);
}
