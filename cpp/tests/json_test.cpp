// The value model's JSON: written as Python's json.dumps lays it out, read back as the same
// value, malformed text refused, and trees of any depth walked without the call stack.
#include "core/value/json.hpp"

#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "core/errors.hpp"
#include "core/value/json_reader.hpp"

using namespace zelka::value;
using zelka::ValueError;

namespace {

Value sample() {
  Map inner;
  inner.set("z", Value(std::int64_t{-9223372036854775807 - 1}));
  inner.set("a", Value(List{Value(0.1), Value(-2.5e-300), Value(1e300), Value(-0.0)}));
  Map root;
  root.set("name", Value("caf\xc3\xa9 \xf0\x9f\x98\x80 \"quoted\"\n\t\x01/\\"));
  root.set("big", Value(BigInt{"-123456789012345678901234567890"}));
  root.set("flags", Value(List{Value(true), Value(false), Value(Null{})}));
  root.set("inner", Value(inner));
  root.set("empty", Value(List{}));
  root.set("nothing", Value(Map{}));
  return Value(root);
}

}  // namespace

TEST_CASE("JSON is laid out as json.dumps writes it") {
  Map m;
  m.set("a", Value(1));
  m.set("b", Value(List{Value(2), Value("\xc3\xa9"), Value(Map{})}));
  CHECK(json_text(Value(m), 2) ==
        "{\n  \"a\": 1,\n  \"b\": [\n    2,\n    \"\\u00e9\",\n    {}\n  ]\n}");
  CHECK(json_text(Value(m), 0) == "{\n\"a\": 1,\n\"b\": [\n2,\n\"\\u00e9\",\n{}\n]\n}");
  CHECK(json_text(Value("\xf0\x9f\x98\x80"), 0) == "\"\\ud83d\\ude00\"");
  CHECK(json_text(Value(std::nan("")), 0) == "NaN");
  CHECK(json_text(Value(-HUGE_VAL), 0) == "-Infinity");
  CHECK(json_text(Value(1e22), 0) == "1e+22");
  CHECK(json_text(Value(0.1), 0) == "0.1");
}

TEST_CASE("JSON text reads back as the value written") {
  const Value v = sample();
  for (const int indent : {-1, 0, 3}) {
    CAPTURE(indent);
    CHECK(parse_json(json_text(v, indent), 64) == v);
  }
  const Value special = parse_json("[NaN, Infinity, -Infinity, 1.5e3, 18446744073709551616]", 4);
  const List& items = special.as<List>();
  CHECK(std::isnan(items[0].as<double>()));
  CHECK(items[1].as<double>() == HUGE_VAL);
  CHECK(items[2].as<double>() == -HUGE_VAL);
  CHECK(items[3].as<double>() == 1500.0);
  CHECK(items[4].as<BigInt>().digits == "18446744073709551616");
}

TEST_CASE("malformed JSON is refused") {
  for (const char* text : {"",
                           "[",
                           "[1,]",
                           "{\"a\": 1,}",
                           "{\"a\" 1}",
                           "{\"a\": 1, \"a\": 2}",
                           "\"\\ud800\"",
                           "\"\\udc00x\"",
                           "\"\xff\"",
                           "\"\xc3\"",
                           "1e400",
                           "-1e400",
                           "01",
                           "1.",
                           ".5",
                           "+1",
                           "nan",
                           "[1] x",
                           "\"tab\there\"",
                           "\"\\x41\"",
                           "{1: 2}",
                           "tru",
                           "[1 2]"}) {
    CAPTURE(text);
    CHECK_THROWS_AS(parse_json(text, 16), ValueError);
  }
}

TEST_CASE("deep nesting is written and read without the call stack, up to the limit") {
  const std::size_t depth = 200000;
  const std::string text = std::string(depth, '[') + std::string(depth, ']');
  const Value deep = parse_json(text, depth);
  CHECK(json_text(deep, -1).size() == 2 * depth + 2 * (depth - 1));  // two line breaks in each
  CHECK(parse_json(json_text(deep, -1), depth) == deep);
  CHECK_THROWS_AS(parse_json(text, depth - 1), ValueError);
  const Value copy = deep;  // copied and destroyed without recursion too
  CHECK(copy == deep);
}
