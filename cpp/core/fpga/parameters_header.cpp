#include "core/fpga/parameters_header.hpp"

#include <cmath>

#include "core/text/number_format.hpp"

namespace zelka::fpga {
namespace {

constexpr std::string_view header = R"(#ifndef PARAMETERS_H_
#define PARAMETERS_H_

#include "ap_fixed.h"
#include "ap_int.h"
#include "nnet_utils/nnet_common.h"
#include "nnet_utils/nnet_helpers.h"
#include "nnet_utils/nnet_activation.h"
#include "nnet_utils/nnet_dense.h"
#include "nnet_utils/nnet_conv2d.h"
#include "nnet_utils/nnet_pooling.h"
#include "nnet_utils/nnet_batchnorm.h"
#include "nnet_utils/complex_lif.h"
«limits_include»
typedef «default_precision» model_default_t;

)";

constexpr std::string_view dense = R"(struct config«idx» : nnet::dense_config {
    static const unsigned n_in = «n_in»;
    static const unsigned n_out = «n_out»;
    static const unsigned io_type = «io_enum»;
    static const unsigned reuse_factor = «rf»;
    static const unsigned n_zeros = 0;
    static const unsigned n_nonzeros = «nz»;
    static const bool store_weights_in_bram = false;
    typedef «accum_t» accum_t;
    typedef «bias_t» bias_t;
    typedef «weight_t» weight_t;
    typedef ap_uint<1> index_t;
};  // «name»
)";

constexpr std::string_view conv2d = R"(struct config«idx» : nnet::conv2d_config {
    static const unsigned n_filt = «c_out»;
    static const unsigned n_chan = «c_in»;
    static const unsigned filt_height = «kh»;
    static const unsigned filt_width = «kw»;
    static const unsigned stride_height = «sh»;
    static const unsigned stride_width = «sw»;
    static const unsigned pad_top = «ph»;
    static const unsigned pad_bottom = «ph»;
    static const unsigned pad_left = «pw»;
    static const unsigned pad_right = «pw»;
    static const unsigned reuse_factor = «rf»;
    typedef «accum_t» accum_t;
    typedef «bias_t» bias_t;
    typedef «weight_t» weight_t;
};  // «name»
)";

constexpr std::string_view lif = R"(struct config«idx» : nnet::lif_config {
    static const unsigned n_in = «n»;
    static const unsigned n_out = «n»;
    static constexpr float threshold = «v_th»;
    static constexpr float leak = «decay6»;
};  // «name»
)";

constexpr std::string_view pooling = R"(struct config«idx» : nnet::pooling2d_config {
    static const unsigned pool_height = «kh»;
    static const unsigned pool_width = «kw»;
    static const unsigned stride_height = «sh»;
    static const unsigned stride_width = «sw»;
    static const unsigned pad_top = «ph»;
    static const unsigned pad_bottom = «ph»;
    static const unsigned pad_left = «pw»;
    static const unsigned pad_right = «pw»;
    static const nnet::Pool_Op pool_op = nnet::Pool_Op::«pool_op»;
};  // «name»
)";

constexpr std::string_view batchnorm = R"(struct config«idx» : nnet::batchnorm_config {
    static const unsigned n_in = «n»;
    static const unsigned n_filt = «n»;
    static const unsigned io_type = «io_enum»;
    static const unsigned reuse_factor = «rf»;
    typedef «bias_t» bias_t;
    typedef «weight_t» scale_t;
};  // «name»
)";

constexpr std::string_view activation = R"(struct config«idx» : nnet::activ_config {
    static const unsigned n_in = «n»;
    static const unsigned table_size = 1024;
    typedef «default_precision» table_t;
};  // «name»
)";

constexpr std::string_view skipped = R"(// config«idx»: «name» («class_name») -- skipped
)";

std::string_view template_for(BlockKind kind) {
  switch (kind) {
    case BlockKind::dense:
      return dense;
    case BlockKind::conv2d:
      return conv2d;
    case BlockKind::lif:
      return lif;
    case BlockKind::pooling:
      return pooling;
    case BlockKind::batchnorm:
      return batchnorm;
    case BlockKind::activation:
      return activation;
    case BlockKind::skipped:
      break;
  }
  return skipped;
}

}  // namespace

std::string float_constant(double x, FloatDigits digits) {
  if (std::isinf(x))
    return x < 0 ? "-std::numeric_limits<float>::infinity()"
                 : "std::numeric_limits<float>::infinity()";
  return (digits == FloatDigits::shortest ? text::float_repr(x) : text::fixed(x, 6)) + "f";
}

std::string render_parameters_header(const std::string& default_precision,
                                     const std::vector<HeaderBlock>& blocks) {
  bool uses_numeric_limits = false;
  for (const HeaderBlock& block : blocks) uses_numeric_limits |= block.uses_numeric_limits;
  // The placeholder starts the line after the library includes: empty, it leaves the one
  // empty line before the typedef; filled, it adds its own line.
  std::string out =
      text::fill(header, {{"limits_include", uses_numeric_limits ? "#include <limits>\n" : ""},
                          {"default_precision", default_precision}});
  for (const HeaderBlock& block : blocks) {
    text::Fields fields = block.fields;
    for (auto& [name, value] : fields)
      if (name == "name" || name == "class_name") value = text::comment_safe(value);
    if (block.kind == BlockKind::activation)
      fields.emplace_back("default_precision", default_precision);
    out += text::fill(template_for(block.kind), fields);
    out += '\n';
  }
  out += "#endif";
  return out;
}

}  // namespace zelka::fpga
