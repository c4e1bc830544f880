// Renderings of floating-point numbers as the host language writes them.
#pragma once

#include <string>
#include <string_view>

namespace zelka::text {

// The shortest text that reads back as the same double, always with a decimal point or
// an exponent: fixed notation for decimal exponents -4..15 (1.0, 0.0001,
// 1000000000000000.0), scientific otherwise with a signed, at least two-digit exponent
// (1e-05, 1e+16); "inf", "-inf", "nan".
std::string float_repr(double x);

// Fixed notation with `digits` digits after the point, correctly rounded ("%.6f").
std::string fixed(double x, int digits);

// Python's format(x, ",.{digits}f"): fixed notation with a comma between groups of three
// integer digits ("1,234.5000", "-0.0000", "nan", "inf").
std::string grouped_fixed(double x, int digits);

// Python's format(n, ","): an integer given by its decimal text (an optional '-' and the
// digits) with a comma between groups of three digits ("-1,234,567").
std::string grouped_integer(std::string_view decimal);

}  // namespace zelka::text
