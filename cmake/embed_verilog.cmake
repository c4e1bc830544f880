# Writes OUTPUT, a C++ source defining zelka::fpga::rtl::module_text: the bytes of every .v file
# in FOLDER (the package's fixed Verilog modules), by file name.  The bytes are written as
# numbers, so that no text of a module can end or change the literal holding it.
#
#   cmake -DFOLDER=<folder of the .v files> -DOUTPUT=<source to write> -P embed_verilog.cmake

file(GLOB modules RELATIVE "${FOLDER}" "${FOLDER}/*.v")
list(SORT modules)

# Sixteen bytes a line.
string(REPEAT "0x..," 16 sixteen_bytes)
set(arrays "")
set(entries "")
set(index 0)
foreach(module IN LISTS modules)
  file(READ "${FOLDER}/${module}" bytes HEX)
  string(LENGTH "${bytes}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
  string(REGEX REPLACE "(${sixteen_bytes})" "\\1\n    " bytes "${bytes}")
  string(APPEND arrays "// ${module}\nconstexpr unsigned char module_${index}[] = {\n    ${bytes}};\n\n")
  string(APPEND entries
         "    {\"${module}\", {reinterpret_cast<const char*>(module_${index}), ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()

set(source "// Written by cmake/embed_verilog.cmake from the package's .v files; edit those instead.
#include <stdexcept>
#include <string>
#include <utility>

#include \"core/fpga/rtl_library.hpp\"

namespace zelka::fpga::rtl {
namespace {

${arrays}}  // namespace

std::string_view module_text(std::string_view file_name) {
  static const std::pair<std::string_view, std::string_view> modules[] = {
${entries}  };
  for (const auto& [name, text] : modules)
    if (name == file_name) return text;
  throw std::logic_error(\"no Verilog module \" + std::string(file_name) + \" was embedded\");
}

}  // namespace zelka::fpga::rtl
")

file(WRITE "${OUTPUT}" "${source}")
