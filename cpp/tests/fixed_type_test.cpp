// The fixed-point types: their names read and written, their ranges, the types the SNN project
// derives from them, and values rounded onto a type's grid (to nearest, ties to even) and
// saturated at its range.
#include "core/numeric/fixed_type.hpp"

#include <doctest/doctest.h>

#include <cmath>
#include <string>

#include "core/fpga/snn_fixed_types.hpp"

using zelka::fpga::decay_type;
using zelka::fpga::default_membrane_type;
using zelka::fpga::nearest_on_grid;
using zelka::fpga::round_onto;
using zelka::fpga::sum_type;
using zelka::numeric::FixedType;
using zelka::numeric::parse_fixed_type;

namespace {

FixedType type(const char* name) {
  const auto parsed = parse_fixed_type(name);
  REQUIRE_MESSAGE(parsed.has_value(), name);
  return *parsed;
}

}  // namespace

TEST_CASE("type names read back as the name they are written as") {
  for (const char* name :
       {"ap_fixed<16,6>", "ap_ufixed<8,3,AP_RND>", "ap_fixed<26,8,AP_RND_CONV,AP_SAT>",
        "ap_fixed<12,4,AP_TRN_ZERO,AP_WRAP_SM,3>", "ap_int<9>", "ap_uint<1>", "ap_fixed<8,-2>",
        "ap_fixed<4,12>"}) {
    CAPTURE(name);
    CHECK(type(name).name() == name);
  }
  CHECK(type(" ap_fixed < 16 , 6 , AP_RND > ").name() == "ap_fixed<16,6,AP_RND>");
  const FixedType integer = type("ap_int<9>");
  CHECK(integer.integer_bits == 9);
  CHECK(integer.fractional_bits() == 0);
}

TEST_CASE("names that are no fixed-point type are refused") {
  for (const char* name :
       {"", "ap_fixed", "ap_fixed<>", "ap_fixed<16>", "ap_fixed<0,0>", "ap_fixed<1025,4>",
        "ap_fixed<16,6,AP_SAT>", "ap_fixed<16,6,AP_RND,AP_RND>", "ap_fixed<16,6,AP_RND,AP_SAT,17>",
        "ap_fixed<16,6,AP_RND,AP_SAT,1,2>", "ap_fixed<16,x>", "ap_fixed<16,6", "ap_int<16,6>",
        "ap_uint<-3>", "fixed<16,6>", "ap_fixed<16,6>x", "ap_fixed<1 6,6>", "ap_fixed<16,2000>"}) {
    CAPTURE(name);
    CHECK_FALSE(parse_fixed_type(name).has_value());
  }
}

TEST_CASE("a type's range runs from its lowest to its highest value on its grid") {
  CHECK(type("ap_fixed<16,6>").lowest() == -32.0);
  CHECK(type("ap_fixed<16,6>").highest() == 32.0 - 1.0 / 1024);
  CHECK(type("ap_ufixed<8,3>").lowest() == 0.0);
  CHECK(type("ap_ufixed<8,3>").highest() == 8.0 - 1.0 / 32);
  CHECK(type("ap_int<4>").lowest() == -8.0);
  CHECK(type("ap_int<4>").highest() == 7.0);
  // More integer bits than bits: the grid's step is above 1.
  CHECK(type("ap_fixed<4,6>").highest() == 28.0);
  // Negative integer bits: every value is below 1/4 in magnitude.
  CHECK(type("ap_fixed<4,-2>").lowest() == -0.125);
  CHECK(type("ap_fixed<4,-2>").highest() == 0.125 - 1.0 / 64);
}

TEST_CASE("values round to the nearest value of the grid, ties to even, and saturate") {
  const FixedType t = type("ap_fixed<8,4>");  // steps of 1/16 in [-8, 8 - 1/16]
  CHECK(nearest_on_grid(0.1, t) == 0.125);
  CHECK(nearest_on_grid(-0.1, t) == -0.125);
  CHECK(nearest_on_grid(1.0 / 32, t) == 0.0);         // tie: to the even 0
  CHECK(nearest_on_grid(3.0 / 32, t) == 2.0 / 16);    // tie: to the even 2/16
  CHECK(nearest_on_grid(-3.0 / 32, t) == -2.0 / 16);  // symmetric
  CHECK(nearest_on_grid(7.99, t) == 8.0 - 1.0 / 16);  // past the top: the highest value
  CHECK(nearest_on_grid(100.0, t) == 8.0 - 1.0 / 16);
  CHECK(nearest_on_grid(-8.02, t) == -8.0);
  CHECK(nearest_on_grid(-1e300, t) == -8.0);
  CHECK(nearest_on_grid(1e300, type("ap_fixed<53,1>")) == 1.0 - std::ldexp(1.0, -52));
  CHECK(nearest_on_grid(5.0, type("ap_ufixed<4,2>")) == 3.75);
  CHECK(nearest_on_grid(-0.01, type("ap_ufixed<4,2>")) == 0.0);
  CHECK(nearest_on_grid(13.0, type("ap_fixed<4,6>")) == 12.0);  // steps of 4

  const auto rounded = round_onto({0.5, 0.1, 9.0, -0.25, 0.03}, t);
  CHECK(rounded.values == std::vector<double>{0.5, 0.125, 8.0 - 1.0 / 16, -0.25, 0.0});
  CHECK(rounded.changed == 3);
  CHECK(rounded.largest == 2);  // 9 moved by 1 + 1/16
}

TEST_CASE("the derived types hold what they are made for") {
  SUBCASE("membranes: two more integer and eight more fractional bits, rounding and saturating") {
    CHECK(default_membrane_type(type("ap_fixed<16,6>")).name() ==
          "ap_fixed<26,8,AP_RND_CONV,AP_SAT>");
    // An unsigned precision gets a sign bit.
    CHECK(default_membrane_type(type("ap_ufixed<8,3>")).name() ==
          "ap_fixed<19,6,AP_RND_CONV,AP_SAT>");
  }
  SUBCASE("decay factors: the membrane's fraction, values in [-2, 2)") {
    const FixedType decay = decay_type(type("ap_fixed<26,8,AP_RND_CONV,AP_SAT>"));
    CHECK(decay.name() == "ap_fixed<20,2,AP_RND_CONV,AP_SAT>");
    CHECK(decay.lowest() == -2.0);
    CHECK(decay_type(type("ap_fixed<4,6>")).name() == "ap_fixed<2,2,AP_RND_CONV,AP_SAT>");
  }
  SUBCASE("sums: every sum of one value of each addend, exactly") {
    const std::vector<FixedType> addends = {type("ap_fixed<8,4>"), type("ap_ufixed<6,2>"),
                                            type("ap_fixed<10,3>")};
    const FixedType sum = sum_type(addends);
    CHECK(sum.name() == "ap_fixed<13,6>");
    double lowest = 0, highest = 0;
    for (const FixedType& t : addends) {
      lowest += t.lowest();
      highest += t.highest();
      CHECK(sum.fractional_bits() >= t.fractional_bits());
    }
    CHECK(sum.lowest() <= lowest);
    CHECK(sum.highest() >= highest);
    CHECK(sum_type({type("ap_ufixed<4,2>"), type("ap_ufixed<4,2>")}).name() == "ap_ufixed<5,3>");
  }
}
