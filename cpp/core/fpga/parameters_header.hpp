// The text of the HLS header parameters.h: library includes, the model's default type and
// one configuration struct per computing node, numbered in execution order.
#pragma once

#include <string>
#include <vector>

#include "core/text/template.hpp"

namespace zelka::fpga {

enum class BlockKind { dense, conv2d, lif, pooling, batchnorm, activation, skipped };

// One computing node's block: its kind and the texts of its placeholders ({idx}, {name},
// {n_in}, ...); names are made comment-safe by the renderer.
struct HeaderBlock {
  BlockKind kind;
  text::Fields fields;
};

std::string render_parameters_header(const std::string& default_precision,
                                     const std::vector<HeaderBlock>& blocks);

}  // namespace zelka::fpga
