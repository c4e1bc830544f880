// The text of the HLS header parameters.h: library includes, the model's default type and
// one configuration struct per computing node, numbered in execution order.
#pragma once

#include <string>
#include <vector>

#include "core/text/template.hpp"

namespace zelka::fpga {

enum class BlockKind { dense, conv2d, lif, pooling, batchnorm, activation, skipped };

// One computing node's block: its kind and the texts of its placeholders («idx», «name»,
// «n_in», ...); node and class names are made comment-safe by the renderer, which adds the
// activation's «default_precision»; every other text is written as it is.
struct HeaderBlock {
  BlockKind kind;
  text::Fields fields;
  bool uses_numeric_limits = false;  // a field is an infinity: the header includes <limits>
};

enum class FloatDigits {
  shortest,      // the shortest text that reads back as the same double ("1.0", "1e-05")
  six_decimals,  // fixed notation, six digits after the point ("0.950000")
};

// A float constant of the header, as a C++ constant expression: a float literal for a
// finite x ("1.0f", "0.950000f"); std::numeric_limits<float>::infinity(), negated for -inf,
// for an infinite one.  NaN has no such expression; callers refuse it.
std::string float_constant(double x, FloatDigits digits);

std::string render_parameters_header(const std::string& default_precision,
                                     const std::vector<HeaderBlock>& blocks);

}  // namespace zelka::fpga
