// The placeholders of the Verilog flow's templates: «name», since Verilog, the test bench's C++
// and the Yosys scripts are full of braces.
#pragma once

#include <string>
#include <string_view>

#include "core/text/template.hpp"

namespace zelka::fpga::rtl {

// `tmpl` with every «name» replaced by its field's text.
inline std::string fill(std::string_view tmpl, const text::Fields& fields) {
  return text::fill(tmpl, fields, "«", "»");
}

}  // namespace zelka::fpga::rtl
