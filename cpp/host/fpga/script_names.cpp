#include "host/fpga/script_names.hpp"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace zelka::host::fpga {
namespace {

// C++ keywords and the names the test bench defines: a project name becomes the top
// function's name and the prefix of its file and probe names.
constexpr const char* reserved_names[] = {"alignas",      "alignof",
                                          "and",          "and_eq",
                                          "asm",          "auto",
                                          "bitand",       "bitor",
                                          "bool",         "break",
                                          "case",         "catch",
                                          "char",         "char16_t",
                                          "char32_t",     "class",
                                          "compl",        "const",
                                          "constexpr",    "const_cast",
                                          "continue",     "decltype",
                                          "default",      "delete",
                                          "do",           "double",
                                          "dynamic_cast", "else",
                                          "enum",         "explicit",
                                          "export",       "extern",
                                          "false",        "float",
                                          "for",          "friend",
                                          "goto",         "if",
                                          "inline",       "int",
                                          "long",         "mutable",
                                          "namespace",    "new",
                                          "noexcept",     "not",
                                          "not_eq",       "nullptr",
                                          "operator",     "or",
                                          "or_eq",        "private",
                                          "protected",    "public",
                                          "register",     "reinterpret_cast",
                                          "return",       "short",
                                          "signed",       "sizeof",
                                          "static",       "static_assert",
                                          "static_cast",  "struct",
                                          "switch",       "template",
                                          "this",         "thread_local",
                                          "throw",        "true",
                                          "try",          "typedef",
                                          "typeid",       "typename",
                                          "union",        "unsigned",
                                          "using",        "virtual",
                                          "void",         "volatile",
                                          "wchar_t",      "while",
                                          "xor",          "xor_eq",
                                          "main",         "compare",
                                          "nnet"};

// Verilog-2005's keywords: a Verilog design's project name names its top module.
constexpr const char* verilog_keywords[] = {"always",
                                            "and",
                                            "assign",
                                            "automatic",
                                            "begin",
                                            "buf",
                                            "bufif0",
                                            "bufif1",
                                            "case",
                                            "casex",
                                            "casez",
                                            "cell",
                                            "cmos",
                                            "config",
                                            "deassign",
                                            "default",
                                            "defparam",
                                            "design",
                                            "disable",
                                            "edge",
                                            "else",
                                            "end",
                                            "endcase",
                                            "endconfig",
                                            "endfunction",
                                            "endgenerate",
                                            "endmodule",
                                            "endprimitive",
                                            "endspecify",
                                            "endtable",
                                            "endtask",
                                            "event",
                                            "for",
                                            "force",
                                            "forever",
                                            "fork",
                                            "function",
                                            "generate",
                                            "genvar",
                                            "highz0",
                                            "highz1",
                                            "if",
                                            "ifnone",
                                            "incdir",
                                            "include",
                                            "initial",
                                            "inout",
                                            "input",
                                            "instance",
                                            "integer",
                                            "join",
                                            "large",
                                            "liblist",
                                            "library",
                                            "localparam",
                                            "macromodule",
                                            "medium",
                                            "module",
                                            "nand",
                                            "negedge",
                                            "nmos",
                                            "nor",
                                            "noshowcancelled",
                                            "not",
                                            "notif0",
                                            "notif1",
                                            "or",
                                            "output",
                                            "parameter",
                                            "pmos",
                                            "posedge",
                                            "primitive",
                                            "pull0",
                                            "pull1",
                                            "pulldown",
                                            "pullup",
                                            "pulsestyle_ondetect",
                                            "pulsestyle_onevent",
                                            "rcmos",
                                            "real",
                                            "realtime",
                                            "reg",
                                            "release",
                                            "repeat",
                                            "rnmos",
                                            "rpmos",
                                            "rtran",
                                            "rtranif0",
                                            "rtranif1",
                                            "scalared",
                                            "showcancelled",
                                            "signed",
                                            "small",
                                            "specify",
                                            "specparam",
                                            "strong0",
                                            "strong1",
                                            "supply0",
                                            "supply1",
                                            "table",
                                            "task",
                                            "time",
                                            "tran",
                                            "tranif0",
                                            "tranif1",
                                            "tri",
                                            "tri0",
                                            "tri1",
                                            "triand",
                                            "trior",
                                            "trireg",
                                            "unsigned",
                                            "use",
                                            "uwire",
                                            "vectored",
                                            "wait",
                                            "wand",
                                            "weak0",
                                            "weak1",
                                            "while",
                                            "wire",
                                            "wor",
                                            "xnor",
                                            "xor"};

// ASCII letters, digits and single underscores, starting with a letter.
bool is_plain_identifier(const std::string& name) {
  bool valid = !name.empty() && std::isalpha(static_cast<unsigned char>(name.front())) &&
               name.find("__") == std::string::npos;
  for (char c : name)
    valid = valid && (std::isalnum(static_cast<unsigned char>(c)) || c == '_') &&
            static_cast<unsigned char>(c) < 128;
  return valid;
}

bool is_one_of(const std::string& name, const auto& words) {
  return std::any_of(std::begin(words), std::end(words),
                     [&](const char* word) { return name == word; });
}

bool is_cpp_top_function_name(const std::string& name) {
  return is_plain_identifier(name) && !is_one_of(name, reserved_names);
}

bool is_verilog_module_name(const std::string& name) {
  return is_plain_identifier(name) && !is_one_of(name, verilog_keywords) &&
         !name.starts_with("zelka_");
}

}  // namespace

void require_project_name(nb::handle name, const char* argument, ProjectNameUse use) {
  if (use == ProjectNameUse::verilog_module) {
    if (is_verilog_module_name(utf8(name))) return;
    raise_formatted(PyExc_ValueError,
                    "Argument '{}' must be a Verilog module name (ASCII letters, digits and "
                    "single underscores, starting with a letter; not a Verilog keyword and not "
                    "starting with 'zelka_', the prefix of the design's own modules), got {!r}",
                    argument, name);
  }
  if (use == ProjectNameUse::cpp_top_function) {
    if (is_cpp_top_function_name(utf8(name))) return;
    raise_formatted(PyExc_ValueError,
                    "Argument '{}' must be a C++ identifier (ASCII letters, digits and single "
                    "underscores, starting with a letter; not a C++ keyword or 'main'), got {!r}",
                    argument, name);
  }
  if (PyUnicode_IsIdentifier(name.ptr()) == 1) return;
  raise_formatted(PyExc_ValueError,
                  "Argument '{}' must be a Python identifier (letters, digits and underscores, "
                  "not starting with a digit), got {!r}",
                  argument, name);
}

void require_part_number(nb::handle part, const char* what) {
  PyObject* text = part.ptr();
  const Py_ssize_t length = PyUnicode_GetLength(text);
  if (length < 0) throw nb::python_error();
  bool valid = length > 0;
  for (Py_ssize_t i = 0; valid && i < length; ++i) {
    const Py_UCS4 c = PyUnicode_ReadChar(text, i);
    valid = Py_UNICODE_ISALNUM(c) || c == '-' || c == '_' || c == '.';
  }
  if (valid) return;
  raise_formatted(PyExc_ValueError,
                  "{} must be a part number made of letters, digits, '-', '_' and '.', got {!r}",
                  what, part);
}

}  // namespace zelka::host::fpga
